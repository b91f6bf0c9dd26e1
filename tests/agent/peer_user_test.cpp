#include "platform/peer_user.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace kestrune::platform {
namespace {

constexpr int kPatienceMs = 10000;
constexpr uid_t kNobody = 65534;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_;
};

// An address and port in either family, as bind and connect take them.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  SocketAddress(int family, const char* text, int port) {
    if (family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
      v4->sin_family = AF_INET;
      v4->sin_port = htons(static_cast<std::uint16_t>(port));
      inet_pton(AF_INET, text, &v4->sin_addr);
      length = sizeof *v4;
    } else {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(static_cast<std::uint16_t>(port));
      inet_pton(AF_INET6, text, &v6->sin6_addr);
      length = sizeof *v6;
    }
  }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// How a client reaches a listener: the listener's family and address, the client's family and
// the address it connects to.
struct Route {
  const char* name;
  int listenFamily;
  const char* listenAt;
  int clientFamily;
  const char* connectTo;
};

constexpr Route kRoutes[] = {
    {"IPv4", AF_INET, "127.0.0.1", AF_INET, "127.0.0.1"},
    {"IPv6", AF_INET6, "::1", AF_INET6, "::1"},
    {"IPv4 client, IPv6 listener", AF_INET6, "::ffff:127.0.0.1", AF_INET, "127.0.0.1"},
    {"IPv4-mapped on both ends", AF_INET6, "::ffff:127.0.0.1", AF_INET6, "::ffff:127.0.0.1"},
};

struct Mode {
  const char* name;
  PeerLookup lookup;
};

constexpr Mode kModes[] = {
    {"netlink, else procfs", PeerLookup::kernelThenProcfs},
    {"netlink", PeerLookup::kernelOnly},
    {"procfs", PeerLookup::procfsOnly},
};

const char* nameOf(PeerUser user) {
  switch (user) {
    case PeerUser::sameUser:
      return "sameUser";
    case PeerUser::otherUser:
      return "otherUser";
    case PeerUser::unknown:
      return "unknown";
  }
  return "?";
}

class Listener {
 public:
  explicit Listener(const Route& route) : route_(route) {
    fd_ = Fd(::socket(route.listenFamily, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd_.get() < 0) return;
    if (route.listenFamily == AF_INET6) {
      const int no = 0;  // IPv4-mapped addresses need a dual-stack socket
      ::setsockopt(fd_.get(), IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    }
    const SocketAddress address(route.listenFamily, route.listenAt, 0);
    if (::bind(fd_.get(), address.get(), address.length) != 0 || ::listen(fd_.get(), 8) != 0) {
      fd_.reset();
      return;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.ss_family == AF_INET
                      ? reinterpret_cast<const sockaddr_in*>(&bound)->sin_port
                      : reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port);
  }
  bool listening() const { return fd_.get() >= 0; }
  int fd() const { return fd_.get(); }

  // connect opens a client connection to the listener; async-signal-safe, for a forked child.
  int connect() const {
    const int client = ::socket(route_.clientFamily, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const SocketAddress address(route_.clientFamily, route_.connectTo, port_);
    if (client >= 0 && ::connect(client, address.get(), address.length) != 0) {
      ::close(client);
      return -1;
    }
    return client;
  }
  Fd accept() const { return Fd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC)); }

 private:
  Route route_;
  Fd fd_;
  int port_ = 0;
};

// waitForEnd waits until the connection's peer has ended it: the end of the stream or a reset.
bool waitForEnd(int fd) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, kPatienceMs) != 1) return false;
  char byte;
  return ::recv(fd, &byte, 1, 0) <= 0;
}

// A child process that connects to a listener as another user, or as this one, and holds its
// end open until told to go (its input pipe closes). It reports through a pipe whether it
// connected: no sleeps, each side waits for the other's event.
class ConnectingChild {
 public:
  ConnectingChild(const Listener& listener, uid_t user, bool exitAtOnce) {
    int go[2];
    int report[2];
    if (::pipe2(go, O_CLOEXEC) != 0) return;
    if (::pipe2(report, O_CLOEXEC) != 0) {
      ::close(go[0]);
      ::close(go[1]);
      return;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(go[1]);
      ::close(report[0]);
      char outcome = 'c';
      // The socket is made after the switch, so that it is the other user's own.
      if (user != ::geteuid() &&
          (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0)) {
        outcome = 'u';
      }
      const int client = outcome == 'c' ? listener.connect() : -1;
      if (outcome == 'c' && client < 0) outcome = 'n';
      if (::write(report[1], &outcome, 1) != 1 || exitAtOnce) ::_exit(0);
      char ignored;
      while (::read(go[0], &ignored, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(go[0]);
    ::close(report[1]);
    go_ = Fd(go[1]);
    report_ = Fd(report[0]);
    pid_ = pid;
  }
  ~ConnectingChild() { finish(); }
  ConnectingChild(const ConnectingChild&) = delete;
  ConnectingChild& operator=(const ConnectingChild&) = delete;

  // outcome waits for the child's report: 'c' connected, 'u' couldn't change user, 'n' couldn't
  // connect, '?' no report.
  char outcome() {
    char outcome = '?';
    if (pid_ <= 0 || ::read(report_.get(), &outcome, 1) != 1) return '?';
    return outcome;
  }
  // finish lets the child go and waits until it has exited.
  void finish() {
    go_.reset();
    if (pid_ > 0) {
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  Fd go_;
  Fd report_;
};

TEST(PeerUser, AConnectionFromThisProcessIsTheSameUser) {
  for (const Route& route : kRoutes) {
    SCOPED_TRACE(route.name);
    const Listener listener(route);
    ASSERT_TRUE(listener.listening()) << std::strerror(errno);
    const Fd client(listener.connect());
    ASSERT_GE(client.get(), 0) << std::strerror(errno);
    const Fd server = listener.accept();
    ASSERT_GE(server.get(), 0) << std::strerror(errno);
    for (const Mode& mode : kModes) {
      SCOPED_TRACE(mode.name);
      EXPECT_STREQ("sameUser", nameOf(peerUser(server.get(), mode.lookup)));
    }
  }
}

TEST(PeerUser, AConnectionFromAnotherUsersProcessIsNot) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing to another user needs root";
  for (const Route& route : kRoutes) {
    SCOPED_TRACE(route.name);
    const Listener listener(route);
    ASSERT_TRUE(listener.listening()) << std::strerror(errno);
    ConnectingChild child(listener, kNobody, false);
    ASSERT_EQ('c', child.outcome());
    const Fd server = listener.accept();
    ASSERT_GE(server.get(), 0) << std::strerror(errno);
    for (const Mode& mode : kModes) {
      SCOPED_TRACE(mode.name);
      EXPECT_STREQ("otherUser", nameOf(peerUser(server.get(), mode.lookup)));
    }
    child.finish();
  }
}

// How a peer goes: its socket closed (it lingers in FIN-WAIT, held by no process), reset (it
// is gone from the table at once, and so is the connection), or its process ended.
enum class Going { closes, resets, exits };

TEST(PeerUser, APeerThatHasGoneIsNobodysUser) {
  const std::pair<const char*, Going> kWays[] = {
      {"closed", Going::closes}, {"reset", Going::resets}, {"process ended", Going::exits}};
  for (const Route& route : kRoutes) {
    SCOPED_TRACE(route.name);
    const Listener listener(route);
    ASSERT_TRUE(listener.listening()) << std::strerror(errno);
    for (const auto& [name, going] : kWays) {
      SCOPED_TRACE(name);
      Fd server;
      if (going == Going::exits) {
        ConnectingChild child(listener, ::geteuid(), true);
        ASSERT_EQ('c', child.outcome());
        child.finish();
        server = listener.accept();
      } else {
        Fd client(listener.connect());
        ASSERT_GE(client.get(), 0) << std::strerror(errno);
        server = listener.accept();
        if (going == Going::resets) {
          const linger abort{1, 0};
          ASSERT_EQ(0, ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort));
        }
        client.reset();
      }
      ASSERT_GE(server.get(), 0) << std::strerror(errno);
      ASSERT_TRUE(waitForEnd(server.get()));
      for (const Mode& mode : kModes) {
        SCOPED_TRACE(mode.name);
        EXPECT_STREQ("unknown", nameOf(peerUser(server.get(), mode.lookup)));
      }
    }
  }
}

TEST(PeerUser, OnlyALoopbackTcpConnectionHasAPeerUser) {
  int pipeEnds[2];
  ASSERT_EQ(0, ::pipe2(pipeEnds, O_CLOEXEC));
  const Fd pipeRead(pipeEnds[0]);
  const Fd pipeWrite(pipeEnds[1]);
  int pair[2];
  ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
  const Fd local(pair[0]);
  const Fd localPeer(pair[1]);
  const Listener listener(kRoutes[0]);
  ASSERT_TRUE(listener.listening());
  // A connected UDP socket has a peer address too.
  const Fd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const SocketAddress udpTarget(AF_INET, "127.0.0.1", 9);
  ASSERT_EQ(0, ::connect(udp.get(), udpTarget.get(), udpTarget.length));
  const Fd unconnected(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const std::pair<const char*, int> kDescriptors[] = {
      {"none", -1},
      {"a pipe", pipeRead.get()},
      {"a UNIX socket", local.get()},
      {"a UDP socket", udp.get()},
      {"an unconnected TCP socket", unconnected.get()},
      {"a listening TCP socket", listener.fd()},
  };
  for (const auto& [name, fd] : kDescriptors) {
    SCOPED_TRACE(name);
    for (const Mode& mode : kModes) {
      SCOPED_TRACE(mode.name);
      EXPECT_STREQ("unknown", nameOf(peerUser(fd, mode.lookup)));
    }
  }
}

// A connection on an address of a network interface comes from this machine too, yet the
// servers listen on loopback only, and anything else is refused.
TEST(PeerUser, AConnectionOnAnInterfaceAddressIsRefused) {
  ifaddrs* interfaces = nullptr;
  ASSERT_EQ(0, ::getifaddrs(&interfaces));
  std::string address;
  for (const ifaddrs* at = interfaces; at != nullptr && address.empty(); at = at->ifa_next) {
    if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(at->ifa_addr)->sin_addr, text,
                sizeof text);
    if (std::strncmp(text, "127.", 4) != 0) address = text;
  }
  ::freeifaddrs(interfaces);
  if (address.empty()) GTEST_SKIP() << "no IPv4 address besides loopback";
  const Route route{"interface", AF_INET, address.c_str(), AF_INET, address.c_str()};
  const Listener listener(route);
  ASSERT_TRUE(listener.listening()) << address << ": " << std::strerror(errno);
  const Fd client(listener.connect());
  ASSERT_GE(client.get(), 0) << std::strerror(errno);
  const Fd server = listener.accept();
  ASSERT_GE(server.get(), 0);
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    EXPECT_STREQ("unknown", nameOf(peerUser(server.get(), mode.lookup)));
  }
}

}  // namespace
}  // namespace kestrune::platform
