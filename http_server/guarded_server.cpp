#include "http_server/guarded_server.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "http_server/connection_pool.h"
#include "platform/connection_socket.h"
#include "platform/peer_user.h"

namespace kestrune::http {

namespace {

thread_local ConnectionState* current = nullptr;

// What a connection over a bound is told before it is closed.
constexpr char kBusyAnswer[] =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

// Threads beyond the connection bound, for turning away connections over it at once.
constexpr unsigned kRefusingThreads = 16;

// Room for a chunked body's framing beside its payload (chunk sizes, extensions, trailers):
// past it, the stream ends the request even before the handler counts the payload.
constexpr std::size_t kFramingRoom = 64 << 10;

int millisecondsUntil(Clock::time_point deadline, std::chrono::milliseconds most) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp(left, std::chrono::milliseconds(0), most).count());
}

// After an answer given before the body was read, the connection lingers this long (reading and
// dropping at most kLingerBytes) before it closes: closed with unread bytes, it would be reset,
// and the reset can reach the client before it has read the answer.
constexpr std::chrono::milliseconds kLinger{1000};
constexpr std::size_t kLingerBytes = 4 << 20;

void linger(socket_t sock) {
  platform::shutdownSending(sock);
  const Clock::time_point until = Clock::now() + kLinger;
  std::array<char, 16 * 1024> sink{};
  for (std::size_t dropped = 0; dropped < kLingerBytes;) {
    const int wait = millisecondsUntil(until, kLinger);
    if (wait <= 0 || platform::waitSocket(sock, false, wait) != 1) return;
    const long n = platform::receiveSome(sock, sink.data(), sink.size());
    if (n <= 0) return;
    dropped += static_cast<std::size_t>(n);
  }
}

// GuardedStream reads a connection for httplib within the state's deadline and byte bound, and
// buffers what it reads: httplib reads the request line and headers a byte at a time. What
// httplib takes counts against the bound, so bytes of a next request read ahead wait in the
// buffer for their own request.
class GuardedStream : public httplib::Stream {
 public:
  GuardedStream(socket_t sock, ConnectionState& state, const GuardOptions& options)
      : sock_(sock), state_(state), options_(options) {}

  bool is_readable() const override {
    if (position_ < filled_) return true;
    // No single wait is longer than the body time-out, and none goes past the deadline.
    const int wait = millisecondsUntil(state_.deadline, options_.bodyTimeout);
    return wait > 0 && platform::waitSocket(sock_, false, wait) == 1;
  }

  bool is_writable() const override {
    return platform::waitSocket(sock_, true, static_cast<int>(options_.writeTimeout.count())) == 1;
  }

  ssize_t read(char* ptr, size_t size) override {
    if (state_.requestBytes >= state_.byteLimit) {
      state_.overBound = true;
      return -1;
    }
    size = std::min(size, state_.byteLimit - state_.requestBytes);
    if (position_ == filled_) {
      if (!is_readable()) return -1;
      const bool direct = size >= buffer_.size();
      const long n = direct ? platform::receiveSome(sock_, ptr, size)
                            : platform::receiveSome(sock_, buffer_.data(), buffer_.size());
      if (n <= 0) return n;
      if (direct) {
        state_.requestBytes += static_cast<std::size_t>(n);
        return n;
      }
      position_ = 0;
      filled_ = static_cast<std::size_t>(n);
    }
    const std::size_t n = std::min(size, filled_ - position_);
    std::memcpy(ptr, buffer_.data() + position_, n);
    position_ += n;
    state_.requestBytes += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    return platform::sendSome(sock_, ptr, size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = state_.peer;
    port = state_.peerPort;
  }

  void get_local_ip_and_port(std::string& ip, int& port) const override {
    platform::socketAddress(sock_, false, ip, port);
  }

  socket_t socket() const override { return sock_; }

  // waitForRequest waits up to most for the first byte of the next request on a kept-alive
  // connection; true when one came.
  bool waitForRequest(std::chrono::milliseconds most) const {
    return position_ < filled_ ||
           platform::waitSocket(sock_, false, static_cast<int>(most.count())) == 1;
  }

 private:
  socket_t sock_;
  ConnectionState& state_;
  const GuardOptions& options_;
  std::array<char, 4096> buffer_{};
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
};

void startRequest(ConnectionState& state, const GuardOptions& options) {
  state.deadline = Clock::now() + options.headTimeout;
  state.requestBytes = 0;
  state.byteLimit = options.maxHeadBytes;
  state.overBound = false;
}

}  // namespace

ConnectionState* currentConnection() {
  return current;
}

GuardedServer::GuardedServer(const GuardOptions& options, RefusalSink refused)
    : options_(options), refused_(std::move(refused)) {
  const std::size_t threads = std::size_t{std::max(1u, options_.maxConnections)} + kRefusingThreads;
  new_task_queue = [threads] { return new ConnectionPool(threads); };
  // Second guards behind the stream's: httplib's own bounds.
  set_payload_max_length(options_.maxBodyBytes);
  const auto seconds = [](auto duration) {
    return static_cast<time_t>(std::chrono::ceil<std::chrono::seconds>(duration).count());
  };
  set_read_timeout(seconds(std::max(options_.headTimeout, options_.bodyTimeout)));
  set_write_timeout(seconds(options_.writeTimeout));
  set_keep_alive_timeout(seconds(options_.keepAliveTimeout));
}

void GuardedServer::bodyExpected() const {
  if (current == nullptr) return;
  current->deadline = Clock::now() + options_.bodyTimeout;
  current->byteLimit = current->requestBytes + options_.maxBodyBytes + kFramingRoom;
}

void GuardedServer::refuseEarly(httplib::Response& response, int status) {
  response.status = status;
  response.set_header("Connection", "close");
  if (current != nullptr) current->mustClose = true;
}

bool GuardedServer::claim(std::string_view key, unsigned most) {
  if (current == nullptr) return true;
  if (current->key == key) return true;
  std::lock_guard lock(mutex_);
  const auto found = perKey_.find(key);
  if (found != perKey_.end() && found->second >= most) return false;
  if (!current->key.empty()) {
    const auto previous = perKey_.find(current->key);
    if (previous != perKey_.end() && --previous->second == 0) perKey_.erase(previous);
  }
  ++perKey_[std::string(key)];
  current->key = key;
  return true;
}

GuardedServer::BodyRead GuardedServer::readBody(const httplib::ContentReader& reader,
                                                std::string& body, std::size_t maxBody) const {
  bodyExpected();
  const std::size_t limit = maxBody == 0 ? options_.maxBodyBytes : maxBody;
  bool tooLarge = false;
  const bool read = reader([&](const char* data, std::size_t length) {
    if (length > limit - body.size()) {
      tooLarge = true;
      return false;
    }
    body.append(data, length);
    return true;
  });
  if (tooLarge || (current != nullptr && current->overBound)) return BodyRead::tooLarge;
  return read ? BodyRead::ok : BodyRead::failed;
}

void GuardedServer::wakeAll() {
  std::lock_guard lock(mutex_);
  for (const socket_t sock : admitted_) platform::shutdownConnection(sock);
}

bool GuardedServer::admit(socket_t sock, const std::string& peer, const char*& why) {
  std::lock_guard lock(mutex_);
  if (admitted_.size() >= options_.maxConnections) {
    why = "too many connections";
    return false;
  }
  unsigned& fromPeer = perAddress_[peer];
  if (fromPeer >= options_.maxConnectionsPerAddress) {
    why = "too many connections from the address";
    return false;
  }
  ++fromPeer;
  admitted_.insert(sock);
  return true;
}

void GuardedServer::release(socket_t sock, const std::string& peer, const std::string& key) {
  std::lock_guard lock(mutex_);
  admitted_.erase(sock);
  const auto found = perAddress_.find(peer);
  if (found != perAddress_.end() && --found->second == 0) perAddress_.erase(found);
  if (key.empty()) return;
  const auto claimed = perKey_.find(key);
  if (claimed != perKey_.end() && --claimed->second == 0) perKey_.erase(claimed);
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
  ConnectionState state;
  if (!platform::socketAddress(sock, true, state.peer, state.peerPort)) {
    platform::closeConnection(sock);
    return false;
  }
  // Another user's process gets nothing, not even a refusal: it learns no more than that the
  // connection closed.
  if (options_.sameUserOnly && platform::peerUser(sock) != platform::PeerUser::sameUser) {
    platform::closeConnection(sock);
    if (refused_) refused_(state.peer, "the connection is not the user's own");
    return false;
  }
  const char* why = nullptr;
  if (!admit(sock, state.peer, why)) {
    platform::sendSome(sock, kBusyAnswer, sizeof kBusyAnswer - 1);
    platform::closeConnection(sock);
    if (refused_) refused_(state.peer, why);
    return false;
  }
  GuardedStream stream(sock, state, options_);
  current = &state;
  bool served = true;
  for (unsigned count = 0; count < options_.maxRequestsPerConnection && is_running(); ++count) {
    if (count > 0 && !stream.waitForRequest(options_.keepAliveTimeout)) break;
    startRequest(state, options_);
    bool closedByClient = false;
    const bool last = count + 1 == options_.maxRequestsPerConnection;
    served = process_request(stream, last, closedByClient, nullptr);
    if (!served || closedByClient || state.mustClose || state.overBound) break;
  }
  current = nullptr;
  if (state.mustClose) linger(sock);
  release(sock, state.peer, state.key);
  platform::closeConnection(sock);
  return served;
}

}  // namespace kestrune::http
