#pragma once
// An HTTP/1.1 server on 127.0.0.1 that records requests; a handler per connection, on its thread, writes exact bytes.
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillet::test {

struct ReceivedRequest {
  std::string method, target, body;  // the target: path and query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string header(std::string_view name) const;  // the first of that name, in any case; absent: ""
};

// Every sending call returns false once the client is gone.
class Connection {
 public:
  const ReceivedRequest& request() const { return request_; }
  bool send(std::string_view bytes);
  // Status line and headers, always with "Connection: close".
  bool sendHead(int status, std::string_view contentType = "text/event-stream",
                std::string_view framing = "Transfer-Encoding: chunked");
  bool sendChunk(std::string_view bytes);  // never empty
  bool endChunks() { return send("0\r\n\r\n"); }
  // Status 200 and an event stream of `body` in one chunk.
  bool sendEvents(std::string_view body) { return sendHead(200) && sendChunk(body) && endChunks(); }
  // A whole response with a Content-Length.
  bool respond(int status, std::string_view body, std::string_view contentType = "application/json");
  bool waitForClose(std::chrono::milliseconds timeout);  // true when the client closes within `timeout`
  bool serverStopping() const { return *stopping_; }     // endless handlers must stop once it holds

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

  explicit LoopbackServer(Handler handler);  // listening at once on a free port
  ~LoopbackServer();                          // closes every connection and waits for the handlers

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

int closedPort();  // a port of 127.0.0.1 on which nothing listens

}  // namespace quillet::test
