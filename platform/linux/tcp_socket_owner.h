// The owner of a TCP socket in this network namespace, found by its addresses: through the
// kernel's socket diagnostics (netlink) or the /proc/net/tcp tables. Internal to peer_user.cpp.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>

namespace kestrune::platform {

// One end of a TCP connection. An IPv4-mapped IPv6 address is kept as IPv4 (unmapped below):
// the kernel finds a connection by the same four values whichever family each side's socket
// was made with.
struct TcpEndpoint {
  bool v6 = false;
  std::array<std::uint8_t, 16> address{};  // network order; IPv4 in the first four bytes
  std::uint16_t port = 0;                  // host order
};

// A TCP socket named by its own address and port (self) and its peer's (remote).
struct TcpSocketId {
  TcpEndpoint self;
  TcpEndpoint remote;
};

enum class OwnerLookup {
  owned,        // a process holds the socket; owner is the uid that made it
  notHeld,      // the socket is there but no process holds it (closed, time-wait, handshake)
  absent,       // no socket has these addresses
  unavailable,  // the table could not be asked or read
};

// ownerBySocketDiag asks the kernel for exactly that socket (SOCK_DIAG_BY_FAMILY).
OwnerLookup ownerBySocketDiag(const TcpSocketId& id, uid_t& owner);
// ownerByProcNet reads /proc/net/tcp and /proc/net/tcp6 for the socket's line.
OwnerLookup ownerByProcNet(const TcpSocketId& id, uid_t& owner);

// unmapped returns an IPv4-mapped IPv6 endpoint (::ffff:a.b.c.d) as IPv4, others unchanged.
TcpEndpoint unmapped(const TcpEndpoint& endpoint);
bool sameEndpoint(const TcpEndpoint& a, const TcpEndpoint& b);

// isConnectedTcpState tells whether a socket in the kernel's TCP state (TCP_ESTABLISHED ...)
// is one end of a connection: not listening, not a handshake not yet accepted, not closed.
bool isConnectedTcpState(unsigned state);

}  // namespace kestrune::platform
