#include "LoopbackServer.hpp"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace quillet::test {

namespace {

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A socket bound to a free port of 127.0.0.1, and that port.
std::pair<int, int> boundSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) throw std::runtime_error("loopback: no port");
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return {fd, ntohs(address.sin_port)};
}

// A server context with a self-signed certificate for 127.0.0.1, which also
// goes to `pemFile` for clients to trust.
std::shared_ptr<void> makeTlsContext(const std::string& pemFile) {
  const std::string keyFile = pemFile + ".key";
  const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
                              "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                              keyFile + "' -out '" + pemFile + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("loopback: openssl made no certificate");
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate_file(context, pemFile.c_str(), SSL_FILETYPE_PEM);
  SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM);
  std::remove(keyFile.c_str());
  return std::shared_ptr<void>(context, [](void* c) { SSL_CTX_free(static_cast<SSL_CTX*>(c)); });
}

std::string head(int status, std::string_view contentType, const std::string& more) {
  return "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: " + std::string(contentType) +
         "\r\nConnection: close\r\n" + more + "\r\n";
}

}  // namespace

std::string ReceivedRequest::header(std::string_view name) const {
  auto found = std::find_if(headers.begin(), headers.end(), [&](const auto& h) { return sameName(h.first, name); });
  return found == headers.end() ? "" : found->second;
}

bool ReceivedRequest::hasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return sameName(h.first, name); });
}

long Connection::receive(char* buffer, size_t size) {
  return tls_ ? SSL_read(static_cast<SSL*>(tls_), buffer, static_cast<int>(size)) : ::recv(fd_, buffer, size, 0);
}

bool Connection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    long sent = tls_ ? SSL_write(static_cast<SSL*>(tls_), bytes.data(), static_cast<int>(bytes.size()))
                     : ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

bool Connection::sendHead(int status, std::string_view contentType, bool chunked) {
  return send(head(status, contentType, chunked ? "Transfer-Encoding: chunked\r\n" : ""));
}

bool Connection::sendChunk(std::string_view bytes) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
  return send(size + std::string(bytes) + "\r\n");
}

bool Connection::endChunks() { return send("0\r\n\r\n"); }

bool Connection::respond(int status, std::string_view body, std::string_view contentType) {
  return send(head(status, contentType, "Content-Length: " + std::to_string(body.size()) + "\r\n") + std::string(body));
}

bool Connection::waitForClose(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char scratch[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) > 0 && ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT) <= 0)
      return true;
  }
}

bool Connection::readRequest() {
  char buffer[16384];
  auto more = [&](std::string& into) {
    long got = receive(buffer, sizeof buffer);
    if (got > 0) into.append(buffer, static_cast<size_t>(got));
    return got > 0;
  };
  std::string data;
  size_t headEnd;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos)
    if (!more(data)) return false;
  // "METHOD target HTTP/1.1", then "Name: value" lines.
  size_t lineEnd = data.find("\r\n"), space = data.find(' ');
  request_.method = data.substr(0, space);
  request_.target = data.substr(space + 1, data.rfind(' ', lineEnd) - space - 1);
  while (lineEnd < headEnd) {
    size_t start = lineEnd + 2;
    lineEnd = data.find("\r\n", start);
    std::string line = data.substr(start, lineEnd - start);
    size_t colon = line.find(':'), value = line.find_first_not_of(" \t", colon + 1);
    if (colon == std::string::npos) continue;
    line.erase(line.find_last_not_of(" \t") + 1);
    request_.headers.emplace_back(line.substr(0, colon), value < line.size() ? line.substr(value) : "");
  }
  request_.body = data.substr(headEnd + 4);
  size_t length = std::strtoul(request_.header("Content-Length").c_str(), nullptr, 10);
  while (request_.body.size() < length)
    if (!more(request_.body)) return false;
  return true;
}

LoopbackServer::LoopbackServer(Handler handler, bool https) : handler_(std::move(handler)) {
  static std::once_flag once;
  std::call_once(once, [] {
    std::signal(SIGPIPE, SIG_IGN);
    // A proxy set for the machine must not stand between the tests and their servers.
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  });
  std::tie(listener_, port_) = boundSocket();
  if (::listen(listener_, 64) != 0) throw std::runtime_error("loopback: cannot listen");
  if (https) {
    const char* tmp = std::getenv("TMPDIR");
    certificateFile_ = std::string(tmp ? tmp : "/tmp") + "/quillet-test-cert-" + std::to_string(::getpid()) + "-" +
                       std::to_string(port_) + ".pem";
    tlsContext_ = makeTlsContext(certificateFile_);
  }
  acceptor_ = std::thread([this] {
    while (!stopping_) {
      int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::lock_guard lock(mutex_);
      open_.push_back(fd);
      workers_.emplace_back([this, fd] { serve(fd); });
    }
  });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  ::close(listener_);
  {
    std::lock_guard lock(mutex_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& worker : workers_) worker.join();
  if (!certificateFile_.empty()) std::remove(certificateFile_.c_str());
}

std::string LoopbackServer::url() const {
  return std::string(tlsContext_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<ReceivedRequest> LoopbackServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void LoopbackServer::serve(int fd) {
  SSL* tls = nullptr;
  bool ready = true;
  if (tlsContext_) {
    tls = SSL_new(static_cast<SSL_CTX*>(tlsContext_.get()));
    SSL_set_fd(tls, fd);
    ready = SSL_accept(tls) == 1;
  }
  Connection connection(fd, tls, &stopping_);
  if (ready && connection.readRequest()) {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(connection.request_);
    }
    handler_(connection);
  }
  if (tls) {
    if (ready) SSL_shutdown(tls);
    SSL_free(tls);
    ERR_clear_error();
  }
  std::lock_guard lock(mutex_);
  open_.erase(std::find(open_.begin(), open_.end(), fd));
  ::close(fd);
}

int closedPort() {
  // Bound and given back without listening: nothing answers there.
  auto [fd, port] = boundSocket();
  ::close(fd);
  return port;
}

}  // namespace quillet::test
