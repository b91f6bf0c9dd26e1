// Who opened the other end of a loopback connection. The local agent and the demo page server
// listen on 127.0.0.1 or ::1, where any local user's process can connect; they serve this
// user's processes only and close anything else before reading a byte of the request.
#pragma once

#include <cstdint>

namespace kestrune::platform {

// unknown covers every case where the owner can't be named: not a TCP socket, an address that
// isn't loopback, a peer whose socket is closed or gone, a lookup that failed. The caller
// closes the connection on anything but sameUser.
enum class PeerUser { sameUser, otherUser, unknown };

// How the peer's socket is found. The kernel's socket table through netlink is fast and
// exact; /proc/net/tcp and tcp6 are the fallback where netlink is refused (a sandbox that
// allows no AF_NETLINK socket, a kernel without socket diagnostics). The single-source modes
// let tests reach each path.
enum class PeerLookup { kernelThenProcfs, kernelOnly, procfsOnly };

// peerUser tells whether the process at the other end of the accepted TCP connection socket
// (the HTTP library's socket_t, as an integer) runs as this process's effective user: the
// owner of the peer's socket, the one whose own address is our peer address and whose remote
// address is our local address, held open by a process. One lookup costs tens of
// microseconds on the netlink path.
PeerUser peerUser(std::intptr_t socket, PeerLookup lookup = PeerLookup::kernelThenProcfs);

}  // namespace kestrune::platform
