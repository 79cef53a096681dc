#include "LoopbackServer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace quillet::test {

namespace {

bool sameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

std::string trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return std::string(s);
}

// A self-signed certificate for 127.0.0.1 and its key, in a server context;
// the certificate is also written to `pemFile` for clients that trust it.
std::shared_ptr<void> makeTlsContext(const std::string& pemFile) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                             -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"}, {NID_basic_constraints, "CA:TRUE"}}) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
  }
  X509_sign(cert, key, EVP_sha256());
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate(context, cert);
  SSL_CTX_use_PrivateKey(context, key);
  if (FILE* file = std::fopen(pemFile.c_str(), "w")) {
    PEM_write_X509(file, cert);
    std::fclose(file);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return std::shared_ptr<void>(context, [](void* c) { SSL_CTX_free(static_cast<SSL_CTX*>(c)); });
}

}  // namespace

std::string ReceivedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (sameName(key, name)) return value;
  return {};
}

bool ReceivedRequest::hasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return sameName(h.first, name); });
}

long Connection::receive(char* buffer, size_t size) {
  if (tls_) return SSL_read(static_cast<SSL*>(tls_), buffer, static_cast<int>(size));
  return ::recv(fd_, buffer, size, 0);
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
  std::string head = "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: " + std::string(contentType) +
                     "\r\nConnection: close\r\n";
  if (chunked) head += "Transfer-Encoding: chunked\r\n";
  return send(head + "\r\n");
}

bool Connection::sendChunk(std::string_view bytes) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
  return send(std::string(size) + std::string(bytes) + "\r\n");
}

bool Connection::endChunks() { return send("0\r\n\r\n"); }

bool Connection::respond(int status, std::string_view body, std::string_view contentType) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: " + std::string(contentType) +
                     "\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  return send(head + std::string(body));
}

bool Connection::waitForClose(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char scratch[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    if (::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT) <= 0) return true;
  }
}

bool Connection::serverStopping() const { return stopping_->load(); }

bool Connection::readRequest() {
  std::string data;
  char buffer[16384];
  size_t headEnd;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
    long got = receive(buffer, sizeof buffer);
    if (got <= 0) return false;
    data.append(buffer, static_cast<size_t>(got));
  }
  std::string_view head(data.data(), headEnd);
  size_t lineEnd = head.find("\r\n");
  std::string_view requestLine = head.substr(0, lineEnd);
  size_t space = requestLine.find(' ');
  request_.method = std::string(requestLine.substr(0, space));
  request_.target = std::string(requestLine.substr(space + 1, requestLine.rfind(' ') - space - 1));
  while (lineEnd != std::string_view::npos) {
    size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    std::string_view line = head.substr(start, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - start);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos)
      request_.headers.emplace_back(std::string(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
  }
  request_.body = data.substr(headEnd + 4);
  size_t length = std::strtoul(request_.header("Content-Length").c_str(), nullptr, 10);
  while (request_.body.size() < length) {
    long got = receive(buffer, sizeof buffer);
    if (got <= 0) return false;
    request_.body.append(buffer, static_cast<size_t>(got));
  }
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
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 64) != 0)
    throw std::runtime_error("loopback server: cannot listen");
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  if (https) {
    certificateFile_ = (std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp")) + "/quillet-test-cert-" +
                       std::to_string(::getpid()) + "-" + std::to_string(port_) + ".pem";
    tlsContext_ = makeTlsContext(certificateFile_);
  }
  acceptor_ = std::thread([this] { acceptLoop(); });
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

size_t LoopbackServer::connectionCount() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

void LoopbackServer::acceptLoop() {
  while (!stopping_) {
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (stopping_) return;
      continue;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard lock(mutex_);
    open_.push_back(fd);
    ++connections_;
    workers_.emplace_back([this, fd] { serve(fd); });
  }
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
  // Bind a port and give it back without listening: nothing answers there.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace quillet::test
