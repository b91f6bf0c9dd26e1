#include "platform/connection_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace kestrune::platform {

bool socketAddress(std::intptr_t socket, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  const int fd = static_cast<int>(socket);
  if ((peer ? ::getpeername(fd, raw, &length) : ::getsockname(fd, raw, &length)) != 0) {
    return false;
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    if (::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) == nullptr) return false;
    port = ntohs(v4->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    if (::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text) == nullptr) return false;
    port = ntohs(v6->sin6_port);
  } else {
    return false;
  }
  ip = text;
  return true;
}

int waitSocket(std::intptr_t socket, bool forWrite, int timeoutMs) {
  pollfd entry{static_cast<int>(socket), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
  for (;;) {
    const int ready = ::poll(&entry, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    return ready > 0 ? 1 : 0;
  }
}

long receiveSome(std::intptr_t socket, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(static_cast<int>(socket), buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

long sendSome(std::intptr_t socket, const void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::send(static_cast<int>(socket), buffer, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

void shutdownSending(std::intptr_t socket) {
  ::shutdown(static_cast<int>(socket), SHUT_WR);
}

void shutdownConnection(std::intptr_t socket) {
  ::shutdown(static_cast<int>(socket), SHUT_RDWR);
}

void closeConnection(std::intptr_t socket) {
  ::shutdown(static_cast<int>(socket), SHUT_RDWR);
  ::close(static_cast<int>(socket));
}

}  // namespace kestrune::platform
