// The control's queryCRL against a fedi-ca that 50 clients trickle a request into, a byte at a
// time, and 200 hold idle, against the same query on a quiet fedi-ca. Slow clients may cost
// themselves time, never the others: the loaded query must stay within 3 times the quiet one.
//
// The hostile clients connect from 127.0.0.10 onwards, ten to an address, as many clients would
// (the per-address bound turns away more from one address); those the authority drops at its
// header time-out connect again, so the load holds for the whole run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "FEDIX509/builtin_ca_records.h"
#include "bench/ratio_reporter.h"
#include "ca/authority.h"
#include "control/TVFEDIMiniKeyCrypt.h"

namespace kestrune::bench {
namespace {

constexpr int kTrickling = 50;
constexpr int kIdle = 200;
constexpr int kClientsPerAddress = 10;
constexpr auto kTrickleGap = std::chrono::milliseconds(100);

std::u16string u16(std::string_view text) {
  return {text.begin(), text.end()};
}

// connectFrom returns a socket connected to 127.0.0.1:port from the address `from`, or -1.
int connectFrom(int port, const std::string& from) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The hostile clients of one server, kept connected by a thread of their own.
class HostileLoad {
 public:
  explicit HostileLoad(int port) : port_(port), sockets_(kTrickling + kIdle, -1) {
    refresh();
    thread_ = std::thread([this] { run(); });
  }
  ~HostileLoad() {
    running_ = false;
    thread_.join();
    for (const int fd : sockets_) {
      if (fd >= 0) ::close(fd);
    }
  }

 private:
  static std::string addressOf(std::size_t i) {
    return "127.0.0." + std::to_string(10 + i / kClientsPerAddress);
  }

  // refresh connects again every client the server has dropped.
  void refresh() {
    for (std::size_t i = 0; i < sockets_.size(); ++i) {
      int& fd = sockets_[i];
      if (fd >= 0) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 0) == 0) continue;  // still held
        ::close(fd);
      }
      fd = connectFrom(port_, addressOf(i));
    }
  }

  void run() {
    static constexpr std::string_view kLine = "POST /fedi/msg HTTP/1.1\r\nHost: a\r\nX-Slow: ";
    std::size_t at = 0;
    while (running_) {
      for (int i = 0; i < kTrickling; ++i) {
        const int fd = sockets_[static_cast<std::size_t>(i)];
        const char byte = at < kLine.size() ? kLine[at] : 'x';
        if (fd >= 0) ::send(fd, &byte, 1, MSG_NOSIGNAL);
      }
      ++at;
      refresh();
      std::this_thread::sleep_for(kTrickleGap);
    }
  }

  const int port_;
  std::vector<int> sockets_;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

// Two authorities in fresh folders, one of them under the hostile load, and a control each.
struct Bed {
  std::string dir;
  ca::AuthorityServer quiet;
  ca::AuthorityServer loaded;
  std::unique_ptr<HostileLoad> load;
  TVFEDIMiniKeyCrypt quietControl;
  TVFEDIMiniKeyCrypt loadedControl;
  std::u16string quietUrl;
  std::u16string loadedUrl;
  std::string problem;

  Bed() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-ca-slow-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
      problem = "no temporary folder";
      return;
    }
    dir = pattern;
    std::string error;
    for (auto [name, server] : {std::pair{"/quiet", &quiet}, std::pair{"/loaded", &loaded}}) {
      if (ca::initAuthority(dir + name, {}, &error) != ca::AuthorityResult::ok ||
          server->start(dir + name, "127.0.0.1", 0, {}, &error) != ca::AuthorityResult::ok) {
        problem = "authority: " + error;
        return;
      }
    }
    quietUrl = u16(quiet.initiationUrl());
    loadedUrl = u16(loaded.initiationUrl());
    load = std::make_unique<HostileLoad>(loaded.port());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // every client connected
    if (!query(quietControl, quietUrl) || !query(loadedControl, loadedUrl)) {
      problem = "the authority did not answer the query";
    }
  }
  ~Bed() {
    load.reset();
    quiet.stop();
    loaded.stop();
    std::error_code error;
    if (!dir.empty()) std::filesystem::remove_all(dir, error);
  }

  static bool query(TVFEDIMiniKeyCrypt& control, const std::u16string& url) {
    static const std::u16string casid1 = u16(fedi::kTestCasid1);
    static const std::u16string casid2 = u16(fedi::kTestCasid2);
    const auto text = control.queryCRL(url, casid1, casid2);
    benchmark::DoNotOptimize(text);
    return text.has_value();
  }
};

Bed& bed() {
  static Bed b;
  return b;
}

void BM_QueryCrlBesideSlowClients(benchmark::State& state) {
  Bed& b = bed();
  if (!b.problem.empty()) {
    state.SkipWithError(b.problem.c_str());
    return;
  }
  runPaired(
      state,
      [&]() -> const char* {
        return Bed::query(b.loadedControl, b.loadedUrl) ? nullptr : "the loaded query failed";
      },
      [&]() -> const char* {
        return Bed::query(b.quietControl, b.quietUrl) ? nullptr : "the quiet query failed";
      });
}

constexpr int kRepetitions = 5;

[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark("QueryCrlBesideSlowClients", BM_QueryCrlBesideSlowClients)
      ->Repetitions(kRepetitions)
      ->ReportAggregatesOnly(true)
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
  registerPairedRatio("QueryCrlBesideSlowClients", 3.0);
  return true;
}();

}  // namespace
}  // namespace kestrune::bench
