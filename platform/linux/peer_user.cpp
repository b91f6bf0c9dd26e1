// The peer of a loopback connection is a socket in this machine's own table: the one whose
// own address is our peer address and whose remote address is our local address. Its owner is
// the uid that made it, as long as a process still holds it; a closed socket lingering in
// FIN-WAIT or TIME-WAIT has no owner worth the name.
#include "platform/peer_user.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/linux/tcp_socket_owner.h"

namespace kestrune::platform {

TcpEndpoint unmapped(const TcpEndpoint& endpoint) {
  static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (!endpoint.v6 || std::memcmp(endpoint.address.data(), kMappedPrefix, 12) != 0) {
    return endpoint;
  }
  TcpEndpoint v4;
  std::memcpy(v4.address.data(), endpoint.address.data() + 12, 4);
  v4.port = endpoint.port;
  return v4;
}

bool sameEndpoint(const TcpEndpoint& a, const TcpEndpoint& b) {
  return a.v6 == b.v6 && a.port == b.port &&
         std::memcmp(a.address.data(), b.address.data(), a.v6 ? 16 : 4) == 0;
}

bool isConnectedTcpState(unsigned state) {
  switch (state) {
    case TCP_ESTABLISHED:
    case TCP_FIN_WAIT1:
    case TCP_FIN_WAIT2:
    case TCP_CLOSE_WAIT:
    case TCP_LAST_ACK:
    case TCP_CLOSING:
      return true;
    default:
      return false;
  }
}

namespace {

// socketEnd reads our (peer false) or the peer's address of a TCP connection; false for a
// descriptor that is no connected IPv4 or IPv6 socket.
bool socketEnd(int fd, bool peer, TcpEndpoint& endpoint) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? ::getpeername(fd, raw, &length) : ::getsockname(fd, raw, &length)) != 0) {
    return false;
  }
  if (address.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    endpoint.v6 = false;
    std::memcpy(endpoint.address.data(), &v4->sin_addr, 4);
    endpoint.port = ntohs(v4->sin_port);
  } else if (address.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    endpoint.v6 = true;
    std::memcpy(endpoint.address.data(), &v6->sin6_addr, 16);
    endpoint.port = ntohs(v6->sin6_port);
  } else {
    return false;
  }
  endpoint = unmapped(endpoint);
  return true;
}

bool isLoopback(const TcpEndpoint& endpoint) {
  static constexpr std::uint8_t kV6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (endpoint.v6) return std::memcmp(endpoint.address.data(), kV6Loopback, 16) == 0;
  return endpoint.address[0] == 127;
}

bool isTcp(int fd) {
  int type = 0;
  int protocol = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) {
    return false;
  }
  length = sizeof protocol;
  return ::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) == 0 &&
         protocol == IPPROTO_TCP;
}

OwnerLookup askKernel(const TcpSocketId& peer, const TcpSocketId& ours, uid_t& owner) {
  const OwnerLookup found = ownerBySocketDiag(peer, owner);
  if (found != OwnerLookup::absent) return found;
  // "No such socket" is also what a kernel without TCP diagnostics says: our own end of the
  // connection is surely in the table, so when the kernel can't find it either, it can't
  // find any.
  uid_t ignored = 0;
  const OwnerLookup self = ownerBySocketDiag(ours, ignored);
  return self == OwnerLookup::owned || self == OwnerLookup::notHeld ? OwnerLookup::absent
                                                                    : OwnerLookup::unavailable;
}

}  // namespace

PeerUser peerUser(std::intptr_t socket, PeerLookup lookup) {
  const int fd = static_cast<int>(socket);
  TcpSocketId ours;
  if (fd < 0 || !isTcp(fd) || !socketEnd(fd, false, ours.self) ||
      !socketEnd(fd, true, ours.remote)) {
    return PeerUser::unknown;
  }
  if (!isLoopback(ours.self) || !isLoopback(ours.remote) || ours.self.v6 != ours.remote.v6) {
    return PeerUser::unknown;
  }
  const TcpSocketId peer{ours.remote, ours.self};
  uid_t owner = 0;
  OwnerLookup found = OwnerLookup::unavailable;
  if (lookup != PeerLookup::procfsOnly) found = askKernel(peer, ours, owner);
  if (found == OwnerLookup::unavailable && lookup != PeerLookup::kernelOnly) {
    found = ownerByProcNet(peer, owner);
  }
  if (found != OwnerLookup::owned) return PeerUser::unknown;
  return owner == ::geteuid() ? PeerUser::sameUser : PeerUser::otherUser;
}

}  // namespace kestrune::platform
