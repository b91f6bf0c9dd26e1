// A hostile client against a real fedi-ca over real sockets: bodies that grow without bound
// (chunked, compressed, or merely announced), clients that trickle or sit idle, and the Host
// header it names. A slow client may cost itself time, never the others, and no body makes the
// authority hold more than its limit.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serve_process.h"
#include "server_fixture.h"

namespace kestrune::ca::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMiB = 1 << 20;
// The server's peak memory may not grow by more than this over a quiet run's.
constexpr long kMemoryAllowanceKiB = 32 * 1024;

// A client socket, closed at the end.
class Socket {
 public:
  // Connects to 127.0.0.1:port from the loopback address `from` (127.0.0.x, so that clients
  // can come from several addresses); -1 inside on failure.
  Socket(int port, const char* from = "127.0.0.1") {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                     ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

  int fd() const { return fd_; }
  bool send(const std::string& bytes) const {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  bool readable(int waitMs) const {
    pollfd entry{fd_, POLLIN, 0};
    return ::poll(&entry, 1, waitMs) == 1;
  }
  // answer reads what the server sends until it closes or `waitMs` passes without a byte.
  std::string answer(int waitMs) const {
    std::string text;
    char buffer[4096];
    while (readable(waitMs)) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

 private:
  int fd_ = -1;
};

std::string postHeaders(const std::string& extra) {
  return "POST /fedi/msg HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
         "application/fedi-certification\r\n" +
         extra + "\r\n";
}

// gzipOfZeros returns a gzip member holding `size` zero bytes.
std::string gzipOfZeros(std::size_t size) {
  z_stream stream{};
  EXPECT_EQ(Z_OK,
            deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY));
  const std::string zeros(kMiB, '\0');
  std::string out;
  char buffer[64 * 1024];
  for (std::size_t done = 0; done < size; done += zeros.size()) {
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    stream.avail_in = static_cast<uInt>(zeros.size());
    const int flush = done + zeros.size() >= size ? Z_FINISH : Z_NO_FLUSH;
    do {
      stream.next_out = reinterpret_cast<Bytef*>(buffer);
      stream.avail_out = sizeof buffer;
      deflate(&stream, flush);
      out.append(buffer, sizeof buffer - stream.avail_out);
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  return out;
}

class HostileBodyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, fediCa("init --dir " + dir_.file("authority")).status);
    serve_ = std::make_unique<ServeProcess>(dir_.file("authority"));
    ASSERT_NE(std::string::npos, serve_->firstLine().find("/fedi/init"));
    // What a quiet server uses after answering one request.
    EXPECT_EQ(FEDI_CT_GET_CRL_ANS, queryRevocationList().type());
    quietKiB_ = serve_->peakResidentKiB();
    ASSERT_GT(quietKiB_, 0);
  }

  Exchange queryRevocationList() const {
    RequestMessage query = requestMessage(FEDI_CT_GET_CRL, revocationListQuery().get());
    return postBody("http://127.0.0.1:" + std::to_string(serve_->port()) + "/fedi/msg", query.der);
  }

  void expectSmallAndServing() {
    EXPECT_LT(serve_->peakResidentKiB() - quietKiB_, kMemoryAllowanceKiB)
        << "quiet " << quietKiB_ << " KiB";
    EXPECT_EQ(FEDI_CT_GET_CRL_ANS, queryRevocationList().type());
  }

  TempDir dir_;
  std::unique_ptr<ServeProcess> serve_;
  long quietKiB_ = 0;
};

TEST_F(HostileBodyTest, AChunkedStreamIsRefusedOnceItPassesTheLimit) {
  Socket client(serve_->port());
  ASSERT_GE(client.fd(), 0);
  ASSERT_TRUE(client.send(postHeaders("Transfer-Encoding: chunked\r\n")));
  const std::string data(64 * 1024, '\x30');
  char size[16];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  const std::string chunk = size + data + "\r\n";
  // Up to 1 GiB, stopping as soon as the server answers or stops taking bytes.
  std::size_t sent = 0;
  while (sent < 1024 * kMiB && !client.readable(0) && client.send(chunk)) sent += data.size();
  // The socket buffers on both sides hold a few MiB beyond the limit at most.
  EXPECT_LT(sent, 32 * kMiB);
  const std::string answer = client.answer(2000);
  if (!answer.empty()) {
    EXPECT_EQ(0u, answer.find("HTTP/1.1 413")) << answer.substr(0, 80);
  }
  expectSmallAndServing();
}

TEST_F(HostileBodyTest, ACompressedBodyIsRefusedUnread) {
  const std::string bomb = gzipOfZeros(256 * kMiB);
  ASSERT_LT(bomb.size(), kMiB);
  for (const char* coding : {"gzip", "deflate", "br", "identity, gzip"}) {
    SCOPED_TRACE(coding);
    Socket client(serve_->port());
    ASSERT_TRUE(
        client.send(postHeaders(std::string("Content-Encoding: ") + coding +
                                "\r\nContent-Length: " + std::to_string(bomb.size()) + "\r\n") +
                    bomb));
    EXPECT_EQ(0u, client.answer(5000).find("HTTP/1.1 415"));
  }
  expectSmallAndServing();
}

TEST_F(HostileBodyTest, AnAnnouncedLengthOverTheLimitIsAnsweredAtOnce) {
  struct Case {
    const char* name;
    std::string headers;
    const char* status;
  };
  const Case cases[] = {
      {"2 GiB announced", "Content-Length: 2147483648\r\n", "HTTP/1.1 413"},
      {"one byte over", "Content-Length: " + std::to_string(kMiB + 1) + "\r\n", "HTTP/1.1 413"},
      {"past 64 bits", "Content-Length: 99999999999999999999999\r\n", "HTTP/1.1 413"},
      {"asking to continue", "Content-Length: 2147483648\r\nExpect: 100-continue\r\n",
       "HTTP/1.1 413"},
      {"no length at all", "", "HTTP/1.1 411"},
      {"length and chunked", "Content-Length: 10\r\nTransfer-Encoding: chunked\r\n",
       "HTTP/1.1 400"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Socket client(serve_->port());
    ASSERT_TRUE(client.send(postHeaders(c.headers)));
    // No body follows: an answer within the wait can only come before reading one.
    const auto start = Clock::now();
    EXPECT_EQ(0u, client.answer(3000).find(c.status));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  }
  expectSmallAndServing();
}

// Slow and idle clients against an in-process authority with short time-outs.
class SlowClientsTest : public AuthorityTest {
 protected:
  ServerOptions options() {
    ServerOptions guarded = AuthorityTest::options();
    guarded.headerTimeout = std::chrono::milliseconds(1500);
    guarded.readTimeout = std::chrono::milliseconds(1000);
    return guarded;
  }
  void SetUp() override {
    std::string why;
    ASSERT_EQ(AuthorityResult::ok, initAuthority(dir_.path(), InitOptions{}, &why)) << why;
    ASSERT_EQ(AuthorityResult::ok, server_.start(dir_.path(), "127.0.0.1", 0, options(), &why));
  }
  // The hostile clients come from 127.0.0.10 onwards, ten to an address; the normal one from
  // 127.0.0.1.
  static std::string hostileAddress(int i) { return "127.0.0." + std::to_string(10 + i / 10); }
};

TEST_F(SlowClientsTest, TricklingAndIdleClientsDoNotDelayAnother) {
  constexpr int kTrickling = 50;
  constexpr int kIdle = 200;
  std::vector<Socket> sockets;
  for (int i = 0; i < kTrickling + kIdle; ++i) {
    sockets.emplace_back(server_.port(), hostileAddress(i).c_str());
    ASSERT_GE(sockets.back().fd(), 0) << i;
  }
  std::atomic<bool> trickle{true};
  std::thread trickler([&] {
    const std::string line = "POST /fedi/msg HTTP/1.1\r\n";
    for (std::size_t at = 0; trickle && at < line.size(); ++at) {
      for (int i = 0; i < kTrickling; ++i) sockets[static_cast<std::size_t>(i)].send({line[at]});
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // all of them connected and held

  // A generous bound, only to tell "answered" from "stuck behind the others" (30 s before).
  for (int round = 0; round < 3; ++round) {
    const auto start = Clock::now();
    EXPECT_EQ(FEDI_CT_GET_CRL_ANS, send(FEDI_CT_GET_CRL, revocationListQuery().get()).type());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "round " << round;
  }

  // The slow ones cost themselves: each is dropped once its header time is up.
  for (int i : {0, kTrickling - 1, kTrickling, kTrickling + kIdle - 1}) {
    const Socket& socket = sockets[static_cast<std::size_t>(i)];
    ASSERT_TRUE(socket.readable(4000)) << i;
    char byte = 0;
    EXPECT_LE(::recv(socket.fd(), &byte, 1, 0), 0) << i;
  }
  trickle = false;
  trickler.join();
}

TEST_F(SlowClientsTest, ConnectionsOverTheBoundOfOneAddressAreTurnedAwayAtOnce) {
  const unsigned bound = options().maxConnectionsPerAddress;
  // A connection over the bound is answered 503 though it sends nothing: one held to its head
  // deadline would be closed unanswered. The server counts the held ones as it accepts them,
  // which a loaded machine may delay past the one over: then that one is held like the others
  // and the attempt is made again with a fresh set.
  std::string answer;
  for (int attempt = 0; attempt < 5 && answer.find("HTTP/1.1 503") != 0; ++attempt) {
    std::vector<Socket> held;
    for (unsigned i = 0; i < bound; ++i) held.emplace_back(server_.port(), "127.0.0.2");
    Socket over(server_.port(), "127.0.0.2");
    answer = over.answer(3000);
  }
  EXPECT_EQ(0u, answer.find("HTTP/1.1 503")) << answer.substr(0, 80);
  // Another address is served meanwhile.
  EXPECT_EQ(FEDI_CT_GET_CRL_ANS, send(FEDI_CT_GET_CRL, revocationListQuery().get()).type());
}

TEST_F(SlowClientsTest, TheAnnouncedUrlNeverComesFromTheHostHeader) {
  for (const char* host : {"attacker.example", "127.0.0.1:1", "x\r\nFEDI-CASID: EVIL"}) {
    SCOPED_TRACE(host);
    Socket client(server_.port());
    ASSERT_TRUE(client.send(std::string("GET /fedi/init HTTP/1.1\r\nHost: ") + host +
                            "\r\nConnection: close\r\n\r\n"));
    const std::string answer = client.answer(2000);
    EXPECT_NE(std::string::npos,
              answer.find("FEDI-SET-URL: " + server_.messageUrl() + "\r\nFEDI-CASID: TESTCA1\r\n"))
        << answer;
    EXPECT_EQ(std::string::npos, answer.find("EVIL"));
  }
  // With a public URL, that one is announced.
  server_.stop();
  ServerOptions announced = options();
  announced.publicUrl = "https://ca.example:8443/";
  std::string why;
  ASSERT_EQ(AuthorityResult::ok, server_.start(dir_.path(), "127.0.0.1", 0, announced, &why))
      << why;
  httplib::Client client("127.0.0.1", server_.port());
  const auto init = client.Get("/fedi/init");
  ASSERT_TRUE(init);
  EXPECT_EQ("FEDI-SET-URL: https://ca.example:8443/fedi/msg\r\nFEDI-CASID: TESTCA1\r\n",
            init->body);
  server_.stop();
  for (const char* bad : {"ftp://ca.example", "http://", "http://ca example", "ca.example"}) {
    announced.publicUrl = bad;
    EXPECT_EQ(AuthorityResult::badArgument,
              server_.start(dir_.path(), "127.0.0.1", 0, announced, &why))
        << bad;
  }
}

}  // namespace
}  // namespace kestrune::ca::test
