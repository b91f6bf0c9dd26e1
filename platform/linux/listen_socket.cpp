#include "platform/listen_socket.h"

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

}  // namespace kestrune::platform
