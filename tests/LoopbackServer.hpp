#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for the tests of the HTTP clients. It
// records every request and hands each connection (one request each) to a
// handler on a thread of its own, which writes exact bytes: tests decide
// where chunks split, when the server stalls and whether it ever finishes.
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillet::test {

struct ReceivedRequest {
  std::string method, target;  // the target: path and query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The value of the first header named `name`, in any case; absent: "".
  std::string header(std::string_view name) const;
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
  Connection(int fd, const std::atomic<bool>* stopping) : fd_(fd), stopping_(stopping) {}
  bool readRequest();

  int fd_;
  const std::atomic<bool>* stopping_;
  ReceivedRequest request_;
};

class LoopbackServer {
 public:
  using Handler = std::function<void(Connection&)>;

  // Listens at once on a free port.
  explicit LoopbackServer(Handler handler);
  // Closes every connection and waits for the handlers to return.
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<ReceivedRequest> requests() const;

 private:
  void serve(int fd);

  Handler handler_;
  int listener_ = -1, port_ = 0;
  std::atomic<bool> stopping_ = false;
  mutable std::mutex mutex_;
  std::vector<ReceivedRequest> requests_;
  std::vector<int> open_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// A port of 127.0.0.1 on which nothing listens.
int closedPort();

}  // namespace quillet::test
