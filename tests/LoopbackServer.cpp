#include "LoopbackServer.hpp"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace quillet::test {

// Compiled before any server thread starts: libstdc++ fills its character-narrowing cache without a lock.
static const std::regex kField("\r\n([^:\r\n]+):[ \t]*([^\r\n]*)");

// A socket bound to a free port of 127.0.0.1, and that port.
static std::pair<int, int> boundSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) throw std::runtime_error("loopback: no port");
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return {fd, ntohs(address.sin_port)};
}

std::string ReceivedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), std::string(name).c_str()) == 0) return value;
  return "";
}

bool Connection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    long sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

bool Connection::sendHead(int status, std::string_view contentType, std::string_view framing) {
  return send("HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: " + std::string(contentType) +
              "\r\nConnection: close\r\n" + std::string(framing) + "\r\n\r\n");
}

bool Connection::sendChunk(std::string_view bytes) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
  return send(size + std::string(bytes) + "\r\n");
}

bool Connection::respond(int status, std::string_view body, std::string_view contentType) {
  return sendHead(status, contentType, "Content-Length: " + std::to_string(body.size())) && send(body);
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
    long got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got > 0) into.append(buffer, static_cast<size_t>(got));
    return got > 0;
  };
  std::string data;
  size_t headEnd;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos)
    if (!more(data)) return false;
  // "METHOD target HTTP/1.1", then "Name: value" lines.
  std::string head = data.substr(0, headEnd);
  std::istringstream(head) >> request_.method >> request_.target;
  for (std::sregex_iterator field(head.begin(), head.end(), kField), end; field != end; ++field)
    request_.headers.emplace_back((*field)[1], (*field)[2]);
  request_.body = data.substr(headEnd + 4);
  size_t length = std::strtoul(request_.header("Content-Length").c_str(), nullptr, 10);
  while (request_.body.size() < length)
    if (!more(request_.body)) return false;
  return true;
}

LoopbackServer::LoopbackServer(Handler handler) : handler_(std::move(handler)) {
  static std::once_flag once;
  std::call_once(once, [] {
    std::signal(SIGPIPE, SIG_IGN);
    // A proxy set for the machine must not stand between the tests and their servers.
    setenv("no_proxy", "127.0.0.1,localhost", 1);  // curl reads NO_PROXY only without it
  });
  std::tie(listener_, port_) = boundSocket();
  if (::listen(listener_, 64) != 0) throw std::runtime_error("loopback: cannot listen");
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
  std::unique_lock lock(mutex_);
  for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  lock.unlock();
  for (auto& worker : workers_) worker.join();
}

std::vector<ReceivedRequest> LoopbackServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void LoopbackServer::serve(int fd) {
  Connection connection(fd, &stopping_);
  if (connection.readRequest()) {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(connection.request_);
    }
    handler_(connection);
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
