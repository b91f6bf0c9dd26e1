// The owner check each accepted loopback connection passes before its request is read: the
// lookup of the peer's socket through netlink, paired with reading the peer's address (what a
// server does with each connection anyway), and through /proc/net/tcp on its own, whose cost
// grows with the number of sockets on the machine.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/ratio_reporter.h"
#include "platform/peer_user.h"

namespace kestrune::bench {
namespace {

// One connection on 127.0.0.1, both ends in this process.
struct Connection {
  int listener = -1;
  int client = -1;
  int server = -1;

  Connection() {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(client, reinterpret_cast<sockaddr*>(&address), length) != 0) return;
    server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  }
  ~Connection() {
    for (const int fd : {server, client, listener}) {
      if (fd >= 0) ::close(fd);
    }
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
};

void BM_PeerUserNetlink(benchmark::State& state) {
  const Connection connection;
  if (connection.server < 0) {
    state.SkipWithError("no loopback connection");
    return;
  }
  runPaired(
      state,
      [&]() -> const char* {
        return platform::peerUser(connection.server, platform::PeerLookup::kernelOnly) ==
                       platform::PeerUser::sameUser
                   ? nullptr
                   : "netlink lookup";
      },
      [&]() -> const char* {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        return ::getpeername(connection.server, reinterpret_cast<sockaddr*>(&peer), &length) == 0
                   ? nullptr
                   : "getpeername";
      });
}
BENCHMARK(BM_PeerUserNetlink)->UseManualTime()->Repetitions(3);

void BM_PeerUserProcfs(benchmark::State& state) {
  const Connection connection;
  if (connection.server < 0) {
    state.SkipWithError("no loopback connection");
    return;
  }
  for (auto _ : state) {
    if (platform::peerUser(connection.server, platform::PeerLookup::procfsOnly) !=
        platform::PeerUser::sameUser) {
      state.SkipWithError("procfs lookup");
      return;
    }
  }
}
BENCHMARK(BM_PeerUserProcfs);

[[maybe_unused]] const bool registered = [] {
  registerAddedTime("BM_PeerUserNetlink", 100);
  return true;
}();

}  // namespace
}  // namespace kestrune::bench
