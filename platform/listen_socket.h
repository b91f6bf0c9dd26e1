// Options of a server's listening socket, beside platform.h because only the authority's server
// needs them.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune::platform {

// setExclusiveListen lets a restarted server bind its port again at once while connections of
// the previous run linger, yet refuses a port another listener holds (SO_REUSEADDR without
// SO_REUSEPORT here; SO_EXCLUSIVEADDRUSE on Windows). Returns false when the option is refused.
bool setExclusiveListen(std::intptr_t socket);

// widenListenQueue lets the system queue as many connections as it allows on a socket that
// listens already (the HTTP library listens with a queue of 5, and a burst of clients beyond it
// waits a second for the retry of its connection). Returns false when the call is refused.
bool widenListenQueue(std::intptr_t socket);

// boundAddress gives the address a listening socket is bound to, as numbers ("0.0.0.0",
// "127.0.0.1", "::", "::1"); empty when it can't be read.
std::string boundAddress(std::intptr_t socket);

}  // namespace kestrune::platform
