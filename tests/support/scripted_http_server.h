// Test support: a tiny HTTP server on 127.0.0.1 that records every request exactly as it came
// over the wire and answers each one with scripted raw bytes, so tests can send what a real
// server library never would: no Content-Length, a connection closed before the announced
// length, a broken status line, nothing at all.
//
//   ScriptedHttpServer server;
//   server.respond(ScriptedHttpServer::response(200, "FEDI-SET-URL: ...\r\n"));
//   ... client calls server.url("/init") ...
//   const auto requests = server.requests();
//   EXPECT_EQ("GET /init HTTP/1.1", requests.at(0).requestLine);
//
// One connection is served at a time on the server's own thread; every connection carries one
// request and is closed after the answer (the server always closes, whatever the headers say).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kestrune::testing {

// One request as received. The header text is byte-exact, so tests can check the order and
// spelling of the lines a client sent.
struct RecordedRequest {
  std::string raw;          // every byte read from the connection
  std::string requestLine;  // "POST /path HTTP/1.1", without CRLF; empty when not HTTP
  std::string method;       // "POST"
  std::string target;       // "/path"
  std::string headerText;   // header lines after the request line, each with its CRLF, up to
                            // but without the empty line that ends them
  std::vector<std::pair<std::string, std::string>> headers;  // name, value; in order received
  std::string body;  // Content-Length bytes after the empty line (what arrived of them)

  // header returns the value of the first header of that name (case-insensitive), or an
  // empty string; hasHeader tells an absent header from an empty one; headerCount counts them.
  std::string header(std::string_view name) const;
  bool hasHeader(std::string_view name) const;
  int headerCount(std::string_view name) const;
};

class ScriptedHttpServer {
 public:
  // A handler answers a request with the raw bytes to send back (status line, headers and
  // body, exactly as they go on the wire); the server closes the connection after them. An
  // empty answer closes the connection without a byte.
  using Handler = std::function<std::string(const RecordedRequest&)>;

  // The constructor starts listening on 127.0.0.1 at a free port; a failure fails the test
  // (ADD_FAILURE) and leaves port() at 0. The destructor stops the thread and closes sockets.
  ScriptedHttpServer();
  ~ScriptedHttpServer();
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  std::uint16_t port() const { return port_; }
  // url returns "http://127.0.0.1:<port>" followed by path (which should start with '/').
  std::string url(std::string_view path = "/") const;

  // respond queues one raw answer; queued answers go to the following requests in order.
  void respond(std::string rawResponse);
  // setHandler answers every request that finds the queue empty. Without a handler such a
  // request gets "500 No Scripted Response". The handler runs on the server's thread.
  void setHandler(Handler handler);

  // requests returns a copy of every request recorded so far, in arrival order. A request is
  // recorded before its answer is sent, so it is there once the client has its answer.
  std::vector<RecordedRequest> requests() const;

  // response builds a complete answer: "HTTP/1.1 <status> <reason>", Content-Length of the
  // body, "Connection: close", the extra header lines (each ending with CRLF), the empty line
  // and the body.
  static std::string response(int status, std::string_view body,
                              std::string_view extraHeaders = {});
  // responseWithoutLength builds an answer without Content-Length: its body ends when the
  // server closes the connection.
  static std::string responseWithoutLength(int status, std::string_view body,
                                           std::string_view extraHeaders = {});

 private:
  void serve();
  void serveConnection(int fd);
  std::string answerFor(const RecordedRequest& request);

  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};  // a pipe whose write end stops the thread
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::deque<std::string> queued_;
  Handler handler_;
  std::vector<RecordedRequest> requests_;
  std::thread thread_;
};

// RefusingPort holds a local TCP port bound on 127.0.0.1 but not listening, so a connection
// to url() is refused for as long as the object lives.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  std::uint16_t port() const { return port_; }
  std::string url(std::string_view path = "/") const;

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace kestrune::testing
