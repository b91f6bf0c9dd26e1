#include "tests/support/scripted_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace kestrune::testing {
namespace {

// No test waits longer than this for a client that went quiet.
constexpr int kReadTimeoutMs = 5000;
// After the answer, the client gets this long to close its side.
constexpr int kDrainTimeoutMs = 2000;

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

const char* reasonOf(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

std::uint16_t boundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

// bindLoopback returns a TCP socket bound to 127.0.0.1 at a free port, or -1.
int bindLoopback() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string loopbackUrl(std::uint16_t port, std::string_view path) {
  return "http://127.0.0.1:" + std::to_string(port) + std::string(path);
}

// A request starts with a method token; anything else (a TLS ClientHello) is not HTTP.
bool looksLikeHttp(std::string_view received) {
  return !received.empty() && std::isupper(static_cast<unsigned char>(received.front()));
}

// parseHead fills the request line, header text and header list from the bytes before the
// empty line, and returns the announced body length (0 when none or unreadable).
std::size_t parseHead(std::string_view head, RecordedRequest& request) {
  const std::size_t lineEnd = head.find("\r\n");
  request.requestLine = std::string(head.substr(0, lineEnd));
  const std::size_t firstSpace = request.requestLine.find(' ');
  request.method = request.requestLine.substr(0, firstSpace);
  if (firstSpace != std::string::npos) {
    const std::size_t secondSpace = request.requestLine.find(' ', firstSpace + 1);
    request.target = request.requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  }
  if (lineEnd == std::string_view::npos) return 0;
  request.headerText = std::string(head.substr(lineEnd + 2)) + "\r\n";
  std::string_view rest = request.headerText;
  while (!rest.empty()) {
    const std::size_t end = rest.find("\r\n");
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 2);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    request.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                 std::string(trim(line.substr(colon + 1))));
  }
  const std::string length = request.header("Content-Length");
  if (length.empty() || !std::all_of(length.begin(), length.end(), ::isdigit)) return 0;
  return static_cast<std::size_t>(std::stoull(length));
}

}  // namespace

std::string RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalIgnoringCase(key, name)) return value;
  }
  return {};
}

bool RecordedRequest::hasHeader(std::string_view name) const {
  return headerCount(name) > 0;
}

int RecordedRequest::headerCount(std::string_view name) const {
  return static_cast<int>(std::count_if(headers.begin(), headers.end(), [&](const auto& entry) {
    return equalIgnoringCase(entry.first, name);
  }));
}

ScriptedHttpServer::ScriptedHttpServer() {
  listenFd_ = bindLoopback();
  if (listenFd_ < 0 || listen(listenFd_, 16) != 0 || pipe2(wakeFds_, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "scripted HTTP server: cannot listen: " << std::strerror(errno);
    return;
  }
  port_ = boundPort(listenFd_);
  thread_ = std::thread([this] { serve(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
  if (thread_.joinable()) {
    const char stop = 's';
    if (write(wakeFds_[1], &stop, 1) != 1) ADD_FAILURE() << "scripted HTTP server: no stop";
    thread_.join();
  }
  for (const int fd : {listenFd_, wakeFds_[0], wakeFds_[1]}) {
    if (fd >= 0) close(fd);
  }
}

std::string ScriptedHttpServer::url(std::string_view path) const {
  return loopbackUrl(port_, path);
}

void ScriptedHttpServer::respond(std::string rawResponse) {
  std::lock_guard lock(mutex_);
  queued_.push_back(std::move(rawResponse));
}

void ScriptedHttpServer::setHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<RecordedRequest> ScriptedHttpServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::string ScriptedHttpServer::response(int status, std::string_view body,
                                         std::string_view extraHeaders) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reasonOf(status) +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
         std::string(extraHeaders) + "\r\n" + std::string(body);
}

std::string ScriptedHttpServer::responseWithoutLength(int status, std::string_view body,
                                                      std::string_view extraHeaders) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reasonOf(status) +
         "\r\nConnection: close\r\n" + std::string(extraHeaders) + "\r\n" + std::string(body);
}

void ScriptedHttpServer::serve() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    serveConnection(fd);
    close(fd);
  }
}

std::string ScriptedHttpServer::answerFor(const RecordedRequest& request) {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    if (!queued_.empty()) {
      std::string answer = std::move(queued_.front());
      queued_.pop_front();
      return answer;
    }
    handler = handler_;
  }
  if (handler) return handler(request);
  return "HTTP/1.1 500 No Scripted Response\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

void ScriptedHttpServer::serveConnection(int fd) {
  // readMore appends what arrives within the time-out; false at end of stream, time-out,
  // error or stop.
  std::string received;
  const auto readMore = [&](int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0 || fds[1].revents != 0) return false;
    char chunk[4096];
    const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    received.append(chunk, static_cast<std::size_t>(got));
    return true;
  };

  RecordedRequest request;
  std::size_t headEnd = std::string::npos;
  while (headEnd == std::string::npos) {
    if (!readMore(kReadTimeoutMs)) break;
    if (!looksLikeHttp(received)) break;
    headEnd = received.find("\r\n\r\n");
  }
  if (received.empty()) return;
  if (headEnd != std::string::npos) {
    const std::size_t bodyLength =
        parseHead(std::string_view(received).substr(0, headEnd), request);
    const std::size_t bodyStart = headEnd + 4;
    while (received.size() - bodyStart < bodyLength && readMore(kReadTimeoutMs)) {
    }
    request.body = received.substr(bodyStart, bodyLength);
  }
  request.raw = received;

  const std::string answer = answerFor(request);
  std::size_t sent = 0;
  while (sent < answer.size()) {
    const ssize_t n = send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  // Half-close, then wait for the client to close: closing at once with unread bytes in the
  // socket would reset the connection and lose the answer's tail.
  shutdown(fd, SHUT_WR);
  while (readMore(kDrainTimeoutMs)) {
  }
}

RefusingPort::RefusingPort() : fd_(bindLoopback()) {
  if (fd_ < 0) {
    ADD_FAILURE() << "refusing port: cannot bind: " << std::strerror(errno);
    return;
  }
  port_ = boundPort(fd_);
}

RefusingPort::~RefusingPort() {
  if (fd_ >= 0) close(fd_);
}

std::string RefusingPort::url(std::string_view path) const {
  return loopbackUrl(port_, path);
}

}  // namespace kestrune::testing
