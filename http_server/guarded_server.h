// The HTTP servers' guard (the local agent, fedi-ca, the demo's page server): cpp-httplib
// answers the requests, but the connections are taken in hand here, so that every bound holds
// before a handler runs and a hostile or slow client costs itself time, never the others:
//   - every connection gets a thread of its own from a pool that grows up to the connection
//     bound, so waiting on one client never holds a thread another client needs;
//   - the request line and headers must arrive within the head time-out and hold at most
//     maxHeadBytes; the body, once a handler asks for it (bodyExpected), within the body
//     time-out and maxBodyBytes, whatever its transfer coding; an answer must be taken within
//     the write time-out;
//   - connections are bounded in total, per client address and, once a handler has named it,
//     per key (the agent's origins); one over a bound gets 503 at once and is closed;
//   - with sameUserOnly, a connection whose peer socket belongs to another user of the machine
//     is closed before a byte of it is read.
// Handlers run on the connection's thread; currentConnection() is that connection.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace kestrune::http {

using Clock = std::chrono::steady_clock;

struct GuardOptions {
  std::chrono::milliseconds headTimeout{5'000};
  std::chrono::milliseconds bodyTimeout{10'000};
  std::chrono::milliseconds writeTimeout{10'000};
  std::chrono::milliseconds keepAliveTimeout{2'000};
  unsigned maxConnections = 256;
  unsigned maxConnectionsPerAddress = 16;
  unsigned maxRequestsPerConnection = 32;
  std::size_t maxHeadBytes = 64 << 10;  // the request line and headers
  std::size_t maxBodyBytes = 1 << 20;   // the body's payload
  bool sameUserOnly = false;
};

// The connection a handler runs for, on the connection's own thread.
struct ConnectionState {
  std::string peer;  // the client's address
  int peerPort = 0;
  Clock::time_point deadline;  // the present request's part must have arrived by then
  std::size_t requestBytes = 0;
  std::size_t byteLimit = 0;  // of requestBytes, for the part being read
  bool overBound = false;     // the request went past its bound
  bool mustClose = false;     // an answer given before the body was read ends the connection
  std::string key;            // what the connection was claimed for (claim)
};

// currentConnection returns the state of the connection served on this thread, or null.
ConnectionState* currentConnection();

// BodyFraming tells how a request's headers frame its body.
struct BodyFraming {
  int refusal = 0;  // 0, or the HTTP status that refuses the request before its body is read
  bool chunked = false;
  std::uint64_t length = 0;  // the announced length when not chunked
};

// bodyFraming judges the framing a request's headers announce: one Content-Length within
// maxBody, or chunked alone, and no content coding. A conflict (two lengths, a length beside a
// transfer coding) is 400, a length over maxBody 413, a coding other than chunked 501, any
// content coding 415. Neither header: an empty body (headers without either frame none).
BodyFraming bodyFraming(const httplib::Request& request, std::size_t maxBody);

class GuardedServer : public httplib::Server {
 public:
  // refused is told of each connection turned away (its address and why).
  using RefusalSink = std::function<void(const std::string& peer, const char* why)>;
  GuardedServer(const GuardOptions& options, RefusalSink refused);

  const GuardOptions& options() const { return options_; }

  // bodyExpected gives the present request of this thread's connection the body time-out and
  // the body bound, from now.
  void bodyExpected() const;
  // refuseEarly answers status before the body is read: the connection ends with the answer.
  static void refuseEarly(httplib::Response& response, int status);
  // claim counts this thread's connection under key (an origin), at most most connections a
  // key; false when the key has that many already, and then the answer should refuse.
  bool claim(std::string_view key, unsigned most);
  // wakeAll ends every admitted connection's waiting, so that stop() returns at once.
  void wakeAll();

  enum class BodyRead { ok, tooLarge, failed };
  // readBody reads the present request's body through reader into body, at most maxBody bytes
  // (the guard's bound when 0); tooLarge as soon as the body passes it, whatever its coding.
  BodyRead readBody(const httplib::ContentReader& reader, std::string& body,
                    std::size_t maxBody = 0) const;

 private:
  bool process_and_close_socket(socket_t sock) override;
  bool admit(socket_t sock, const std::string& peer, const char*& why);
  void release(socket_t sock, const std::string& peer, const std::string& key);

  const GuardOptions options_;
  const RefusalSink refused_;
  std::mutex mutex_;
  std::map<std::string, unsigned> perAddress_;
  std::map<std::string, unsigned, std::less<>> perKey_;
  std::set<socket_t> admitted_;
};

}  // namespace kestrune::http
