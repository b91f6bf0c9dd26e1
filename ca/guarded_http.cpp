#include "ca/guarded_http.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <system_error>

#include "platform/authority_os.h"

namespace kestrune::ca::http {

namespace {

thread_local ConnectionState* current = nullptr;

// What a connection over a bound is told before it is closed.
constexpr char kBusyAnswer[] =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

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
// buffers what it reads: httplib reads the request line and headers a byte at a time.
class GuardedStream : public httplib::Stream {
 public:
  GuardedStream(socket_t sock, ConnectionState& state, const GuardOptions& options)
      : sock_(sock), state_(state), options_(options) {}

  bool is_readable() const override {
    if (position_ < filled_) return true;
    const int wait = millisecondsUntil(state_.deadline, options_.readTimeout);
    return wait > 0 && platform::waitSocket(sock_, false, wait) == 1;
  }

  bool is_writable() const override {
    return platform::waitSocket(sock_, true, static_cast<int>(options_.writeTimeout.count())) == 1;
  }

  ssize_t read(char* ptr, size_t size) override {
    if (position_ < filled_) {
      const std::size_t n = std::min(size, filled_ - position_);
      std::memcpy(ptr, buffer_.data() + position_, n);
      position_ += n;
      return static_cast<ssize_t>(n);
    }
    if (!is_readable()) return -1;
    const bool direct = size >= buffer_.size();
    const long n = direct ? platform::receiveSome(sock_, ptr, size)
                          : platform::receiveSome(sock_, buffer_.data(), buffer_.size());
    if (n <= 0) return n;
    state_.requestBytes += static_cast<std::size_t>(n);
    if (state_.requestBytes > options_.maxRequestBytes) return -1;
    if (direct) return n;
    position_ = 0;
    filled_ = static_cast<std::size_t>(n);
    return read(ptr, size);
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

}  // namespace

ConnectionState* currentConnection() {
  return current;
}

ConnectionPool::~ConnectionPool() {
  shutdown();
}

void ConnectionPool::enqueue(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  jobs_.push_back(std::move(job));
  if (idle_ == 0 && threads_.size() < maxThreads_) {
    try {
      threads_.emplace_back([this] { work(); });
      return;
    } catch (const std::system_error&) {
      // No thread to be had: the job waits for one that is running.
    }
  }
  lock.unlock();
  ready_.notify_one();
}

void ConnectionPool::shutdown() {
  {
    std::lock_guard lock(mutex_);
    if (shuttingDown_ && threads_.empty()) return;
    shuttingDown_ = true;
  }
  ready_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
}

void ConnectionPool::work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      ++idle_;
      ready_.wait(lock, [this] { return !jobs_.empty() || shuttingDown_; });
      --idle_;
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

GuardedServer::GuardedServer(const GuardOptions& options, RefusalSink refused)
    : options_(options), refused_(std::move(refused)) {}

void GuardedServer::bodyExpected() const {
  if (current != nullptr) current->deadline = Clock::now() + options_.readTimeout;
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

void GuardedServer::release(socket_t sock, const std::string& peer) {
  std::lock_guard lock(mutex_);
  admitted_.erase(sock);
  const auto found = perAddress_.find(peer);
  if (found != perAddress_.end() && --found->second == 0) perAddress_.erase(found);
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
  ConnectionState state;
  state.deadline = Clock::now() + options_.headerTimeout;
  if (!platform::socketAddress(sock, true, state.peer, state.peerPort)) {
    platform::closeConnection(sock);
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
    if (count > 0) {
      if (!stream.waitForRequest(options_.keepAliveTimeout)) break;
      state.deadline = Clock::now() + options_.headerTimeout;
      state.requestBytes = 0;
      state.note = RequestNote{};
      state.refusal = 0;
      state.refusalText.clear();
      state.message = false;
    }
    bool closedByClient = false;
    const bool last = count + 1 == options_.maxRequestsPerConnection;
    served = process_request(stream, last, closedByClient, nullptr);
    if (!served || closedByClient || state.mustClose) break;
  }
  current = nullptr;
  if (state.mustClose) linger(sock);
  release(sock, state.peer);
  platform::closeConnection(sock);
  return served;
}

}  // namespace kestrune::ca::http
