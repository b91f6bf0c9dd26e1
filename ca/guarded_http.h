// The authority's HTTP server under hostile clients: cpp-httplib answers the requests, but the
// connections are taken in hand here. A slow or idle client may cost itself time, never the
// others:
//   - every connection gets a thread of its own from a pool that grows up to the connection
//     bound, so waiting on a client never holds a worker another client needs (the requests'
//     work is bounded apart, see http_server.cpp);
//   - the request line and headers must arrive within the header time-out, the body within the
//     read time-out after them, and no request may be more bytes than its bound;
//   - connections are bounded in total and per client address; one over a bound gets 503 at
//     once and is closed.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ca/answers.h"

namespace kestrune::ca::http {

using Clock = std::chrono::steady_clock;

struct GuardOptions {
  std::chrono::milliseconds headerTimeout{5'000};
  std::chrono::milliseconds readTimeout{10'000};
  std::chrono::milliseconds writeTimeout{10'000};
  std::chrono::milliseconds keepAliveTimeout{2'000};
  unsigned maxConnections = 256;
  unsigned maxConnectionsPerAddress = 16;
  unsigned maxRequestsPerConnection = 32;
  // A request's line, headers and body together: the body bound plus room for the headers.
  std::size_t maxRequestBytes = (1 << 20) + (64 << 10);
};

// The connection a handler runs for, on the connection's own thread.
struct ConnectionState {
  std::string peer;  // the client's address
  int peerPort = 0;
  Clock::time_point deadline;  // the present request must have arrived by then
  std::size_t requestBytes = 0;
  bool mustClose = false;  // an answer given before the body was read ends the connection
  // What the answer's log line says.
  RequestNote note;
  int refusal = 0;
  std::string refusalText;
  bool message = false;  // a FEDI message was answered
};

// currentConnection returns the state of the connection served on this thread, or null.
ConnectionState* currentConnection();

// ConnectionPool: httplib's task queue, one thread per connection, grown on demand up to a bound;
// a connection that finds every thread busy waits for one.
class ConnectionPool : public httplib::TaskQueue {
 public:
  explicit ConnectionPool(std::size_t maxThreads) : maxThreads_(maxThreads) {}
  ~ConnectionPool() override;
  void enqueue(std::function<void()> job) override;
  void shutdown() override;

 private:
  void work();

  const std::size_t maxThreads_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::list<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;
  bool shuttingDown_ = false;
};

class GuardedServer : public httplib::Server {
 public:
  // refused is told of each connection turned away (its address and why).
  using RefusalSink = std::function<void(const std::string& peer, const char* why)>;
  GuardedServer(const GuardOptions& options, RefusalSink refused);

  // bodyExpected gives the present request of this thread's connection the read time-out for
  // its body, from now.
  void bodyExpected() const;
  // wakeAll ends every admitted connection's waiting, so that stop() returns at once.
  void wakeAll();

 private:
  bool process_and_close_socket(socket_t sock) override;
  bool admit(socket_t sock, const std::string& peer, const char*& why);
  void release(socket_t sock, const std::string& peer);

  const GuardOptions options_;
  const RefusalSink refused_;
  std::mutex mutex_;
  std::map<std::string, unsigned> perAddress_;
  std::set<socket_t> admitted_;
};

}  // namespace kestrune::ca::http
