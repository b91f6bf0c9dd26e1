#include "platform/listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace kestrune::platform {

bool setExclusiveListen(std::intptr_t socket) {
  const int yes = 1;
  return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0;
}

bool widenListenQueue(std::intptr_t socket) {
  // Listening again on a listening socket only changes its queue length.
  return listen(static_cast<int>(socket), SOMAXCONN) == 0;
}

std::string boundAddress(std::intptr_t socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return {};
  }
  char text[INET6_ADDRSTRLEN] = {};
  const void* numbers = nullptr;
  if (address.ss_family == AF_INET) {
    numbers = &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr;
  } else if (address.ss_family == AF_INET6) {
    numbers = &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
  } else {
    return {};
  }
  return inet_ntop(address.ss_family, numbers, text, sizeof text) != nullptr ? std::string(text)
                                                                             : std::string();
}

}  // namespace kestrune::platform
