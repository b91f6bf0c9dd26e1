// kestrune serve under attack, as a hostile page, a hostile local process and a greedy allowed
// origin would try it: bodies past the bound whatever their framing, bodies and lines sent
// without being asked for, clients that hold connections, calls that never end, and session
// IDs smuggled into the log.
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/host/agent_process.h"

namespace kestrune::testing {
namespace {

constexpr std::size_t kMiB = 1 << 20;

// What the agent's memory comes to is measured in the normal build: the sanitizers' allocator
// keeps freed memory in quarantine and adds its shadow.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryMeasured = false;
#else
constexpr bool kMemoryMeasured = true;
#endif

class AgentHostileHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared = std::make_unique<SharedAgent>("allow", std::vector<std::string>{});
  }
  static void TearDownTestSuite() { shared.reset(); }
  static int port() { return shared->agent().port(); }
  static std::string head(const std::string& requestLine, const std::string& headers) {
    return requestLine + "\r\nHost: 127.0.0.1:" + std::to_string(port()) + "\r\n" + headers +
           "\r\n";
  }
  static inline std::unique_ptr<SharedAgent> shared;
};

std::string chunk(std::size_t size, char fill) {
  char length[32];
  std::snprintf(length, sizeof length, "%zx\r\n", size);
  return length + std::string(size, fill) + "\r\n";
}

std::string bodyOf(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// sendChunked sends megabytes of 1 MiB chunks and the last chunk, stopping when the agent
// closes; whatever it answered is read after.
std::string sendChunked(RawConnection& connection, const std::string& head, std::size_t megabytes) {
  const std::string piece = chunk(kMiB, ' ');
  bool open = connection.sendAll(head);
  for (std::size_t i = 0; open && i < megabytes; ++i) open = connection.sendAll(piece);
  if (open) connection.sendAll("0\r\n\r\n");
  return connection.answer();
}

TEST_F(AgentHostileHost, ABodyOverTheBoundIs413WhateverItsFraming) {
  PageSession page(port(), kBank);
  const std::string line = "POST /v1/session/" + page.id() + "/call HTTP/1.1";
  const std::string origin = std::string("Origin: ") + kBank + "\r\n";
  {
    SCOPED_TRACE("chunked");
    RawConnection connection(port());
    const std::string answer =
        sendChunked(connection, head(line, origin + "Transfer-Encoding: chunked\r\n"), 17);
    EXPECT_EQ(413, statusOf(answer)) << answer.substr(0, 200);
    EXPECT_EQ("too-large", Json::parse(bodyOf(answer), nullptr, false).value("error", ""));
  }
  {
    // Refused on its head alone, before a byte of the body is sent.
    SCOPED_TRACE("announced length");
    RawConnection connection(port());
    ASSERT_TRUE(connection.sendAll(head(line, origin + "Content-Length: 17825792\r\n")));
    const std::string answer = connection.answer();
    EXPECT_EQ(413, statusOf(answer)) << answer.substr(0, 200);
    EXPECT_NE(std::string::npos, answer.find("Access-Control-Allow-Origin: " + std::string(kBank)));
  }
  // The session lives on.
  EXPECT_EQ(200, page.call("TV_GETVersion", {0}).status);
}

TEST_F(AgentHostileHost, BodiesAndLinesNobodyAskedForAreNotRead) {
  const std::size_t before = shared->agent().residentBytes();
  ASSERT_GT(before, 0u);
  for (const char* origin : {"", "Origin: https://evil.example\r\n"}) {
    SCOPED_TRACE(origin);
    for (int i = 0; i < 2; ++i) {
      RawConnection connection(port());
      const std::string answer = sendChunked(
          connection,
          head("POST /v1/session HTTP/1.1", std::string(origin) + "Transfer-Encoding: chunked\r\n"),
          64);
      EXPECT_EQ(403, statusOf(answer)) << answer.substr(0, 200);
    }
  }
  {
    SCOPED_TRACE("a 128 MiB request line");
    RawConnection connection(port());
    const std::string piece(kMiB, 'a');
    bool open = connection.sendAll("GET /");
    for (int i = 0; open && i < 128; ++i) open = connection.sendAll(piece);
    EXPECT_FALSE(open);
    EXPECT_TRUE(connection.closedByServer(std::chrono::seconds(30)));
  }
  {
    SCOPED_TRACE("headers without end");
    RawConnection connection(port());
    const std::string header = "X-Filler: " + std::string(1000, 'b') + "\r\n";
    bool open = connection.sendAll("GET /kestrune.js HTTP/1.1\r\n");
    for (int i = 0; open && i < 100'000; ++i) open = connection.sendAll(header);
    EXPECT_FALSE(open);
  }
  const std::size_t after = shared->agent().residentBytes();
  EXPECT_LT(after, before + 48 * kMiB) << before << " -> " << after;
  if (kMemoryMeasured) {
    EXPECT_LT(after, 100 * kMiB);
  }
  // The agent still answers.
  PageSession page(port(), kShop);
  EXPECT_EQ(200, page.call("TV_GETVersion", {0}).status);
}

// An allowed page's calls near the body bound are read and made; the memory they took goes back
// when they are done.
TEST_F(AgentHostileHost, LargeCallsLeaveNoMemoryBehind) {
  if (!kMemoryMeasured) GTEST_SKIP() << "memory is measured in the normal build";
  PageSession bank(port(), kBank);
  PageSession shop(port(), kShop);
  const Json data = std::string(12 * kMiB, 'a');
  std::vector<std::thread> calls;
  for (const PageSession* page : {&bank, &shop}) {
    calls.emplace_back([page, &data] {
      for (int i = 0; i < 2; ++i) EXPECT_EQ(200, page->call("sign", {data}).status);
    });
  }
  for (std::thread& call : calls) call.join();
  EXPECT_LT(shared->agent().residentBytes(), 100 * kMiB);
}

TEST_F(AgentHostileHost, AmbiguousFramingIsRefused) {
  PageSession page(port(), kBank);
  const std::string line = "POST /v1/session/" + page.id() + "/call HTTP/1.1";
  const std::string origin = std::string("Origin: ") + kBank + "\r\n";
  const std::string call = R"({"method": "TV_GETVersion", "args": [0]})";
  const std::string length = "Content-Length: " + std::to_string(call.size()) + "\r\n";
  struct Case {
    const char* name;
    std::string headers;
    int status;
    const char* error;
  };
  const Case cases[] = {
      {"two lengths", length + "Content-Length: 5\r\n", 400, "bad-json"},
      {"a length and chunked", length + "Transfer-Encoding: chunked\r\n", 400, "bad-json"},
      {"a length list", "Content-Length: 3, 3\r\n", 400, "bad-json"},
      {"another coding", length + "Transfer-Encoding: gzip\r\n", 400, "bad-json"},
      {"compressed", length + "Content-Encoding: gzip\r\n", 400, "bad-json"},
      {"twice chunked", "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", 400,
       "bad-json"},
      {"a body on DELETE", length, 400, "bad-json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection connection(port());
    const std::string requestLine = std::string(c.name) == "a body on DELETE"
                                        ? "DELETE /v1/session/" + page.id() + " HTTP/1.1"
                                        : line;
    ASSERT_TRUE(connection.sendAll(head(requestLine, origin + c.headers) + call));
    const std::string answer = connection.answer();
    EXPECT_EQ(c.status, statusOf(answer)) << answer.substr(0, 300);
    EXPECT_EQ(c.error, Json::parse(bodyOf(answer), nullptr, false).value("error", ""));
  }
  EXPECT_EQ(200, page.call("TV_GETVersion", {0}).status);
}

TEST_F(AgentHostileHost, NoSessionIdReachesTheLog) {
  PageSession page(port(), kBank);
  for (const std::string& path :
       {"//v1/session/" + page.id() + "/call", "/x/v1/session/" + page.id() + "/call",
        "/v1//session/" + page.id(), "/" + page.id()}) {
    SCOPED_TRACE(path);
    send(port(), "POST", path, kBank, R"({"method": "getSID1", "args": []})");
  }
  EXPECT_EQ(std::string::npos, shared->agent().log().find(page.id()));
}

// asAnotherUser runs a request as the nobody user would send it to the agent: the exit status
// of a child that connects and sends it, 0 when the connection ends without a byte of answer,
// 1 when something was answered, 2 when the child couldn't become nobody or connect.
int asAnotherUser(int port, const std::string& request) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    RawConnection connection(port);
    if (!connection.connected()) _exit(2);
    connection.sendAll(request);
    _exit(connection.answer(std::chrono::seconds(30)).empty() ? 0 : 1);
  }
  int status = -1;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(AgentHostileHost, AnotherUsersProcessIsClosedUnanswered) {
  if (geteuid() != 0) GTEST_SKIP() << "becoming another user takes root";
  const std::string request = head("POST /v1/session HTTP/1.1",
                                   std::string("Origin: ") + kBank + "\r\nContent-Length: 0\r\n");
  EXPECT_EQ(0, asAnotherUser(port(), request));
  // The user's own process is served as ever.
  RawConnection own(port());
  ASSERT_TRUE(own.sendAll(request));
  const std::string answer = own.answer();
  EXPECT_EQ(201, statusOf(answer)) << answer;
  const std::string id =
      Json::parse(answer.substr(answer.find("\r\n\r\n") + 4)).value("session", "");
  send(port(), "DELETE", "/v1/session/" + id, kBank);
  EXPECT_NE(std::string::npos, shared->agent().log().find("is not the user's own"));
}

// HangingAuthority listens and never answers: the control's exchange with it waits.
class HangingAuthority {
 public:
  HangingAuthority() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(fd_, 128) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ADD_FAILURE() << "no listening socket";
      return;
    }
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/fedi/init";
  }
  ~HangingAuthority() {
    if (fd_ >= 0) ::close(fd_);
  }
  const std::string& url() const { return url_; }

 private:
  int fd_ = -1;
  std::string url_;
};

// SlowClients keeps count connections sending their head a byte a second, opening a new one
// for each the agent drops, until it is destroyed.
class SlowClients {
 public:
  SlowClients(int port, int count) : port_(port) {
    for (int i = 0; i < count; ++i) connections_.push_back(std::make_unique<RawConnection>(port));
    driver_ = std::thread([this] { drive(); });
  }
  ~SlowClients() {
    stop_ = true;
    driver_.join();
  }

 private:
  void drive() {
    const std::string start = "POST /v1/session HTTP/1.1\r\nX-Slow: ";
    for (auto& connection : connections_) connection->sendAll(start);
    while (!stop_) {
      for (auto& connection : connections_) {
        if (!connection->sendAll("a")) {
          connection = std::make_unique<RawConnection>(port_);
          connection->sendAll(start);
        }
      }
      for (int i = 0; i < 10 && !stop_; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  }

  int port_;
  std::vector<std::unique_ptr<RawConnection>> connections_;
  std::atomic<bool> stop_{false};
  std::thread driver_;
};

// Neither clients that hold connections nor an origin whose calls never end deny the agent to
// another origin: its session and call come at once, every time.
TEST_F(AgentHostileHost, SlowClientsAndHangingCallsDenyNoOtherOrigin) {
  const HangingAuthority authority;
  const SlowClients slow(port(), 30);
  // The bank opens as many sessions as it can: its later ones take the place of its earlier,
  // and it holds half of the agent's eight.
  std::vector<std::string> sessions;
  for (int i = 0; i < 8; ++i) {
    const Reply opened = send(port(), "POST", "/v1/session", kBank, "");
    ASSERT_EQ(201, opened.status);
    sessions.push_back(opened.body.value("session", ""));
  }
  sessions.erase(sessions.begin(), sessions.begin() + 4);
  // Six calls on each that never end: two take its places, four are told it is busy.
  std::vector<std::thread> hanging;
  std::atomic<int> busy{0};
  for (int i = 0; i < 24; ++i) {
    const std::string id = sessions[static_cast<std::size_t>(i) % sessions.size()];
    hanging.emplace_back([id, &authority, &busy] {
      const Reply reply =
          send(port(), "POST", "/v1/session/" + id + "/call", kBank,
               Json{{"method", "queryCRL"}, {"args", {authority.url(), "TESTCA1", "CA"}}}.dump());
      if (reply.status == 429) ++busy;
    });
  }
  for (int i = 0; i < 600 && busy < 16; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(16, busy.load());
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const auto start = std::chrono::steady_clock::now();
    {
      PageSession shop(port(), kShop);
      EXPECT_EQ(200, shop.call("TV_GETVersion", {0}).status);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  }
  // Closing the bank's sessions ends its calls.
  for (const std::string& id : sessions) send(port(), "DELETE", "/v1/session/" + id, kBank);
  for (std::thread& call : hanging) call.join();
}

}  // namespace
}  // namespace kestrune::testing
