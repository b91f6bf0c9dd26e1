// The CA client's request primitive against a scripted server on 127.0.0.1: the bytes on the
// wire, every form of answer body, the status check, and failed calls reported with their
// WinInet numbers.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "FEDIX509/fedi_ca_client.h"
#include "http_test_support.h"

namespace kestrune::fedi::test {
namespace {

std::string patterned(std::size_t length) {
  std::string text(length, '\0');
  for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>(i % 251);
  return text;
}

std::string bodyOf(const NetResponse& response) {
  if (response.body == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(response.body),
                     static_cast<std::size_t>(response.bodyLength));
}

class NetRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { withoutProxy(); }

  std::string hostLine() const {
    return "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
  }

  ScriptedHttpServer server;
};

// The header lines go out in the given order with nothing of curl's own between or after them:
// no Accept, no Expect (curl adds one to bodies above 1 MiB), no form content type for a POST
// without one, no second Content-Length.
TEST_F(NetRequestTest, SendsTheHeaderTextAsGiven) {
  const std::string kFixed = "Proxy-Connection: Keep-Alive\r\nConnection: close\r\n";
  const std::string kDer("\x30\x03\x02\x01\x00", 5);
  const std::string kLarge = patterned(2 * 1024 * 1024 + 3);
  struct Case {
    const char* name;
    const char* verb;
    const char* contentType;
    const std::string* body;  // null: no body
    std::string ownLines;
  };
  const Case kCases[] = {
      {"initiation GET", "GET", kCaInitiationType, nullptr,
       kFixed + "Content-Type: application/x-fedi-certification-initiation\r\n"},
      {"message POST", "POST", kCaMessageType, &kDer,
       kFixed + "Content-Type: application/fedi-certification\r\nContent-Length: 5\r\n"},
      {"large POST", "POST", kCaMessageType, &kLarge,
       kFixed + "Content-Type: application/fedi-certification\r\nContent-Length: 2097155\r\n"},
      {"POST without content type", "POST", nullptr, &kDer, kFixed + "Content-Length: 5\r\n"},
      {"GET without content type", "GET", nullptr, nullptr, kFixed},
      {"another verb with a body", "PUT", "text/plain", &kDer,
       kFixed + "Content-Type: text/plain\r\nContent-Length: 5\r\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    server.respond(ScriptedHttpServer::response(200, "ok"));
    const auto* body =
        c.body == nullptr ? nullptr : reinterpret_cast<const unsigned char*>(c.body->data());
    const auto length = c.body == nullptr ? 0 : static_cast<std::int32_t>(c.body->size());
    OwnedResponse owned;
    ASSERT_EQ(NET_OK, net_Request(server.url("/fedi/ca?step=1").c_str(), c.verb, c.contentType,
                                  body, length, &owned.response));
    const RecordedRequest request = server.requests().back();
    EXPECT_EQ(std::string(c.verb) + " /fedi/ca?step=1 HTTP/1.1", request.requestLine);
    EXPECT_EQ(hostLine() + "User-Agent: FEDI\r\n" + c.ownLines, request.headerText);
    EXPECT_EQ(c.body == nullptr ? std::string() : *c.body, request.body);
  }
}

// Every way a 200 answer can carry its body; the buffer always has a zero byte after it.
TEST_F(NetRequestTest, ReadsEachFormOfBody) {
  const std::string kLong = patterned(10000);
  const std::string kTwoChunks = patterned(8192);
  struct Case {
    const char* name;
    std::string raw;
    std::string body;
    bool nullBody;
  };
  const Case kCases[] = {
      {"announced length", ScriptedHttpServer::response(200, "hello"), "hello", false},
      {"zero bytes inside", ScriptedHttpServer::response(200, std::string("a\0b", 3)),
       std::string("a\0b", 3), false},
      {"no length, longer than a read chunk", ScriptedHttpServer::responseWithoutLength(200, kLong),
       kLong, false},
      {"no length, two chunks exactly", ScriptedHttpServer::responseWithoutLength(200, kTwoChunks),
       kTwoChunks, false},
      {"no length, nothing", ScriptedHttpServer::responseWithoutLength(200, ""), "", false},
      {"chunked",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n "
       "world\r\n0\r\n\r\n",
       "hello world", false},
      {"chunked with a trailer",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\nX-Sum: 5\r\n\r\n",
       "hello", false},
      // The length is what came, not what was announced: the rest of the buffer is no body.
      {"closed before the announced length",
       "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n" + kLong, kLong, false},
      {"more than announced", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef", "abc", false},
      {"announced empty", ScriptedHttpServer::response(200, ""), "", true},
      {"interim answer first",
       "HTTP/1.1 100 Continue\r\n\r\n" + ScriptedHttpServer::response(200, "final"), "final",
       false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    server.respond(c.raw);
    OwnedResponse owned;
    const NetResponse& response = owned.response;
    ASSERT_EQ(NET_OK,
              net_Request(server.url("/").c_str(), "GET", nullptr, nullptr, 0, &owned.response));
    EXPECT_EQ(200, response.statusCode);
    EXPECT_EQ(0u, response.lastError);
    EXPECT_EQ(static_cast<std::int32_t>(c.body.size()), response.bodyLength);
    EXPECT_EQ(c.body, bodyOf(response));
    if (c.nullBody) {
      EXPECT_EQ(nullptr, response.body);
    } else {
      ASSERT_NE(nullptr, response.body);
      EXPECT_EQ(0, response.body[response.bodyLength]);
    }
  }
}

// A status other than 200 is reported with a message box and -12; its body is not read and
// a redirection is not followed.
TEST_F(NetRequestTest, StatusOtherThan200ShowsTheMessageBox) {
  struct Case {
    int status;
    std::string extraHeaders;
  };
  const Case kCases[] = {{404, ""}, {500, ""}, {302, "Location: /elsewhere\r\n"}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.status);
    server.respond(ScriptedHttpServer::response(c.status, "not this", c.extraHeaders));
    const std::string url = server.url("/fedi/init");
    MessageCapture capture;
    OwnedResponse owned;
    EXPECT_EQ(NET_STATUS_NOT_OK,
              net_Request(url.c_str(), "GET", kCaInitiationType, nullptr, 0, &owned.response));
    EXPECT_EQ(c.status, owned.response.statusCode);
    EXPECT_EQ(0u, owned.response.lastError);
    EXPECT_EQ(nullptr, owned.response.body);
    EXPECT_EQ(0, owned.response.bodyLength);
    ASSERT_EQ(1u, capture.messages.size());
    EXPECT_EQ("Connect to " + url + " fail. Response status code = " + std::to_string(c.status),
              capture.messages[0].text);
    EXPECT_EQ("", capture.messages[0].caption);
  }
  EXPECT_EQ(3u, server.requests().size());
}

// Lengths that don't fit: a body the caller describes wrongly is not sent, and an announced
// body too long for the 32-bit length is refused as memory before a byte is stored.
TEST_F(NetRequestTest, RefusesLengthsThatDoNotFit) {
  const unsigned char byte = 0;
  const std::string url = server.url("/ca");
  struct Case {
    const char* name;
    const unsigned char* body;
    std::int32_t length;
  };
  for (const Case& c :
       {Case{"negative length", &byte, -1}, Case{"length without body", nullptr, 5}}) {
    SCOPED_TRACE(c.name);
    OwnedResponse owned;
    EXPECT_EQ(NET_CALL_FAILED,
              net_Request(url.c_str(), "POST", kCaMessageType, c.body, c.length, &owned.response));
    EXPECT_EQ(87u, owned.response.lastError);
  }
  EXPECT_TRUE(server.requests().empty());

  server.respond("HTTP/1.1 200 OK\r\nContent-Length: 3000000000\r\n\r\nhello");
  OwnedResponse owned;
  EXPECT_EQ(NET_NO_MEMORY, net_Request(url.c_str(), "GET", nullptr, nullptr, 0, &owned.response));
  EXPECT_EQ(nullptr, owned.response.body);
}

struct FailureCase {
  const char* name;
  std::string url;
  std::uint32_t error;
};

void expectFailure(const FailureCase& c) {
  SCOPED_TRACE(c.name);
  MessageCapture capture;
  OwnedResponse owned;
  EXPECT_EQ(NET_CALL_FAILED,
            net_Request(c.url.c_str(), "GET", kCaInitiationType, nullptr, 0, &owned.response));
  EXPECT_EQ(c.error, owned.response.lastError);
  EXPECT_EQ(0, owned.response.statusCode);
  EXPECT_EQ(nullptr, owned.response.body);
  EXPECT_TRUE(capture.messages.empty());
}

TEST_F(NetRequestTest, CallsThatFailKeepTheirWinInetNumber) {
  const RefusingPort refusing;
  const std::string port = std::to_string(server.port());
  const FailureCase kCases[] = {
      {"host that doesn't resolve", kUnresolvableUrl, 12007},
      {"port that refuses", refusing.url("/ca"), 12029},
      {"no scheme", "127.0.0.1:" + port + "/ca", 12006},
      {"ftp", "ftp://127.0.0.1:" + port + "/ca", 12006},
      {"local file", "file:///etc/passwd", 12006},
      {"no host", "http://", 12005},
  };
  for (const FailureCase& c : kCases) expectFailure(c);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(NetRequestTest, AnswersThatAreNotHttpFail) {
  struct Case {
    const char* name;
    std::string raw;
  };
  const Case kCases[] = {
      {"closed without a byte", ""},
      {"not HTTP", "FEDI-SET-URL: http://x/\r\n\r\n"},
      {"headers cut short", "HTTP/1.1 200 OK\r\nContent-Le"},
  };
  for (const Case& c : kCases) {
    server.respond(c.raw);
    expectFailure({c.name, server.url("/ca"), 12152});
  }
}

// An https URL is never sent as plain HTTP: the scripted server, which speaks no TLS, gets a
// TLS handshake record and no request line.
TEST_F(NetRequestTest, HttpsSpeaksTls) {
  server.respond(ScriptedHttpServer::response(200, "plain"));
  expectFailure({"https to a plain server",
                 "https://127.0.0.1:" + std::to_string(server.port()) + "/ca", 12157});
  const auto requests = server.requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("", requests[0].requestLine);
  ASSERT_FALSE(requests[0].raw.empty());
  EXPECT_EQ(0x16, requests[0].raw[0]);  // TLS handshake
}

// UntrustedTlsServer runs openssl s_server on 127.0.0.1 with a fresh self-signed certificate
// for that address, for one connection; port() is empty when it could not start.
class UntrustedTlsServer {
 public:
  UntrustedTlsServer()
      : dir_(std::filesystem::temp_directory_path() /
             ("kestrune-tls-" + std::to_string(getpid()))) {
    std::filesystem::create_directories(dir_);
    const std::string key = (dir_ / "key.pem").string();
    const std::string cert = (dir_ / "cert.pem").string();
    const std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
        key + " -out " + cert + " 2>/dev/null";
    if (system(make.c_str()) != 0) return;
    // The time-out bounds a test that fails before connecting.
    const std::string serve =
        "timeout 20 openssl s_server -accept 127.0.0.1:0 -naccept 1 -www -cert " + cert + " -key " +
        key + " </dev/null 2>&1";
    output_ = popen(serve.c_str(), "r");
    if (output_ == nullptr) return;
    const std::string accept = "ACCEPT 127.0.0.1:";
    char line[256];
    while (port_.empty() && fgets(line, sizeof line, output_) != nullptr) {
      const std::string text = line;
      if (text.starts_with(accept))
        port_ = text.substr(accept.size(), text.find_first_of("\r\n") - accept.size());
    }
  }
  ~UntrustedTlsServer() {
    if (output_ != nullptr) pclose(output_);
    std::filesystem::remove_all(dir_);
  }
  UntrustedTlsServer(const UntrustedTlsServer&) = delete;
  UntrustedTlsServer& operator=(const UntrustedTlsServer&) = delete;

  const std::string& port() const { return port_; }

 private:
  std::filesystem::path dir_;
  FILE* output_ = nullptr;
  std::string port_;
};

// A TLS server whose certificate no system authority vouches for is refused.
TEST(NetRequestTls, UntrustedServerCertificateIsRefused) {
  withoutProxy();
  const UntrustedTlsServer tls;
  ASSERT_FALSE(tls.port().empty());
  expectFailure({"self-signed server", "https://127.0.0.1:" + tls.port() + "/ca", 12045});
}

}  // namespace
}  // namespace kestrune::fedi::test
