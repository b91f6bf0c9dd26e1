// The owner of one TCP socket, asked of the kernel through NETLINK_SOCK_DIAG: an exact lookup
// by the socket's four addresses, answered while the request is sent, in a few microseconds.
// The answer is read as untrusted bytes all the same: every message within the received
// length, the sender the kernel, the socket the one asked for.
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/file_descriptor.h"
#include "platform/linux/tcp_socket_owner.h"

namespace kestrune::platform {
namespace {

// The kernel's answer is queued before sendto returns; the wait is only a bound.
constexpr int kAnswerWaitMs = 1000;
// One inet_diag_msg and its few attributes; a longer answer is cut and refused.
constexpr std::size_t kAnswerSize = 8192;

struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

void putAddress(const TcpEndpoint& endpoint, __be32 (&words)[4]) {
  std::memcpy(words, endpoint.address.data(), endpoint.v6 ? 16 : 4);
}

TcpEndpoint endpointOf(unsigned family, const __be32 (&words)[4], __be16 port) {
  TcpEndpoint endpoint;
  endpoint.v6 = family == AF_INET6;
  std::memcpy(endpoint.address.data(), words, endpoint.v6 ? 16 : 4);
  endpoint.port = ntohs(port);
  return unmapped(endpoint);
}

bool sendRequest(int fd, const TcpSocketId& id) {
  DiagRequest request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  // No NLM_F_DUMP: the kernel looks the one socket up by its addresses.
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.body.sdiag_family = id.self.v6 ? AF_INET6 : AF_INET;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = ~0U;
  request.body.id.idiag_sport = htons(id.self.port);
  request.body.id.idiag_dport = htons(id.remote.port);
  putAddress(id.self, request.body.id.idiag_src);
  putAddress(id.remote, request.body.id.idiag_dst);
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  for (;;) {
    const ssize_t sent = ::sendto(fd, &request, sizeof request, 0,
                                  reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    if (sent < 0 && errno == EINTR) continue;
    return sent == static_cast<ssize_t>(sizeof request);
  }
}

// receiveAnswer fills buffer with one datagram from the kernel: its length, or -1.
ssize_t receiveAnswer(int fd, void* buffer, std::size_t size) {
  pollfd entry{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, kAnswerWaitMs);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return -1;
  sockaddr_nl sender{};
  iovec part{buffer, size};
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = sizeof sender;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  ssize_t received;
  do {
    received = ::recvmsg(fd, &message, MSG_DONTWAIT);
  } while (received < 0 && errno == EINTR);
  if (received <= 0 || (message.msg_flags & MSG_TRUNC) != 0) return -1;
  if (message.msg_namelen != sizeof sender || sender.nl_family != AF_NETLINK ||
      sender.nl_pid != 0) {
    return -1;
  }
  return received;
}

OwnerLookup readSocket(const nlmsghdr& header, const TcpSocketId& id, uid_t& owner) {
  if (header.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return OwnerLookup::unavailable;
  inet_diag_msg socket;
  std::memcpy(&socket, NLMSG_DATA(&header), sizeof socket);
  if (socket.idiag_family != AF_INET && socket.idiag_family != AF_INET6) {
    return OwnerLookup::unavailable;
  }
  const TcpEndpoint self =
      endpointOf(socket.idiag_family, socket.id.idiag_src, socket.id.idiag_sport);
  const TcpEndpoint remote =
      endpointOf(socket.idiag_family, socket.id.idiag_dst, socket.id.idiag_dport);
  // The lookup falls back to a listener on the address when no connection matches: that is
  // some other socket, not the one asked for.
  if (!sameEndpoint(self, id.self) || !sameEndpoint(remote, id.remote)) {
    return OwnerLookup::absent;
  }
  // A socket no process holds has no inode; its uid (0 for time-wait) says nothing.
  if (!isConnectedTcpState(socket.idiag_state) || socket.idiag_inode == 0) {
    return OwnerLookup::notHeld;
  }
  owner = socket.idiag_uid;
  return OwnerLookup::owned;
}

// messageFits is NLMSG_OK without its comparison of a signed length with an unsigned one: the
// header is whole within left bytes, and so is the message it announces.
bool messageFits(const nlmsghdr* header, int left) {
  return left >= static_cast<int>(sizeof(nlmsghdr)) && header->nlmsg_len >= sizeof(nlmsghdr) &&
         header->nlmsg_len <= static_cast<unsigned>(left);
}

}  // namespace

OwnerLookup ownerBySocketDiag(const TcpSocketId& id, uid_t& owner) {
  const FileDescriptor netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (netlink.get() < 0 || !sendRequest(netlink.get(), id)) return OwnerLookup::unavailable;
  alignas(nlmsghdr) unsigned char answer[kAnswerSize];
  const ssize_t received = receiveAnswer(netlink.get(), answer, sizeof answer);
  if (received < 0) return OwnerLookup::unavailable;
  int left = static_cast<int>(received);
  for (auto* header = reinterpret_cast<const nlmsghdr*>(answer); messageFits(header, left);
       header = NLMSG_NEXT(header, left)) {
    if (header->nlmsg_seq != 1) return OwnerLookup::unavailable;
    if (header->nlmsg_type == NLMSG_ERROR) {
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return OwnerLookup::unavailable;
      nlmsgerr error;
      std::memcpy(&error, NLMSG_DATA(header), sizeof error);
      // ENOENT is also the answer of a kernel without TCP diagnostics: the caller tells the
      // two apart by asking for a socket that is surely there.
      return error.error == -ENOENT ? OwnerLookup::absent : OwnerLookup::unavailable;
    }
    if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY) return readSocket(*header, id, owner);
    if (header->nlmsg_type == NLMSG_DONE) return OwnerLookup::absent;
    if (header->nlmsg_type != NLMSG_NOOP) return OwnerLookup::unavailable;
  }
  return OwnerLookup::unavailable;
}

}  // namespace kestrune::platform
