#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for the tests of the HTTP clients. It
// records every request and hands each connection (one request each) to a
// handler on a thread of its own, which writes exact bytes: tests decide
// where chunks split, when the server stalls and whether it ever finishes.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace quillet::test {

struct ReceivedRequest {
  std::string method, target;  // the target: path and query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The value of the first header named `name`, in any case; absent: "".
  std::string header(std::string_view name) const;
  bool hasHeader(std::string_view name) const;
};

// Every sending call returns false once the client is gone.
class Connection {
 public:
  const ReceivedRequest& request() const { return request_; }
  bool send(std::string_view bytes);
  // Status line and headers, always with "Connection: close".
  bool sendHead(int status, std::string_view contentType = "text/event-stream", bool chunked = true);
  bool sendChunk(std::string_view bytes);  // never empty
  bool endChunks();
  // A whole response with a Content-Length.
  bool respond(int status, std::string_view body, std::string_view contentType = "application/json");
  // True when the client closes the connection within `timeout`.
  bool waitForClose(std::chrono::milliseconds timeout);
  // True once the server shuts down; endless handlers must stop then.
  bool serverStopping() const { return *stopping_; }

 private:
  friend class LoopbackServer;
  Connection(int fd, void* tls, const std::atomic<bool>* stopping) : fd_(fd), tls_(tls), stopping_(stopping) {}
  bool readRequest();
  long receive(char* buffer, size_t size);

  int fd_;
  void* tls_;  // an OpenSSL SSL* when serving HTTPS
  const std::atomic<bool>* stopping_;
  ReceivedRequest request_;
};

class LoopbackServer {
 public:
  using Handler = std::function<void(Connection&)>;

  // Listens at once on a free port; with `https`, speaks TLS with a freshly
  // made self-signed certificate for 127.0.0.1.
  explicit LoopbackServer(Handler handler, bool https = false);
  // Closes every connection and waits for the handlers to return.
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  std::string url() const;  // "http://127.0.0.1:<port>", or https
  // The PEM file of the self-signed certificate (HTTPS only).
  std::string certificateFile() const { return certificateFile_; }
  std::vector<ReceivedRequest> requests() const;
  size_t connectionCount() const;

 private:
  void serve(int fd);

  Handler handler_;
  int listener_ = -1, port_ = 0;
  std::atomic<bool> stopping_ = false;
  std::shared_ptr<void> tlsContext_;
  std::string certificateFile_;
  mutable std::mutex mutex_;
  std::vector<ReceivedRequest> requests_;
  std::vector<int> open_;
  size_t connections_ = 0;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// A port of 127.0.0.1 on which nothing listens.
int closedPort();

}  // namespace quillet::test
