// The CA client's initiation and message exchange against a scripted authority on 127.0.0.1:
// the keyed lines of the initiation, the posted FEDI_MESSAGE, the answer's decoding and its
// digest check, and failures reported as WinInet numbers.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "FEDIX509/fedi_ca_client.h"
#include "FEDIX509/fedi_message.h"
#include "common/ptr.h"
#include "http_test_support.h"

namespace kestrune::fedi::test {
namespace {

char* heapText(const std::string& text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// textOr shows an absent value as "<absent>", so it can't pass for an empty one.
std::string textOr(const char* value) {
  return value == nullptr ? "<absent>" : value;
}

std::string encode(const FEDI_MESSAGE* msg) {
  unsigned char* der = nullptr;
  const int length = i2d_FEDI_MESSAGE(msg, &der);
  if (length <= 0) return {};
  std::string out(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return out;
}

MessagePtr decode(const std::string& der) {
  const auto* pos = reinterpret_cast<const unsigned char*>(der.data());
  return MessagePtr(d2i_FEDI_MESSAGE(nullptr, &pos, static_cast<long>(der.size())));
}

// How the scripted authority fills the answer's digest field.
enum class Digest { echoed, first16Bytes, absent, oneByteChanged };

// answerTo builds the DER of an answer of type to the posted request: a status (999), an
// identifier answer (109), or for any other type the request's own record sent back.
std::string answerTo(const RecordedRequest& posted, int type, Digest digest) {
  const MessagePtr request = decode(posted.body);
  if (!request || request->digest == nullptr) return {};
  Ptr<FEDI_STATUS> status(FEDI_STATUS_new());
  Ptr<FEDI_CSID_RESP> identifiers(FEDI_CSID_RESP_new());
  void* record = request->content->record;
  if (type == FEDI_CT_STATUS) {
    ASN1_INTEGER_set(status->code, 7);
    ASN1_OCTET_STRING_set(status->text, reinterpret_cast<const unsigned char*>("busy"), 4);
    record = status.get();
  } else if (type == FEDI_CT_CCHN_RESP) {
    ASN1_INTEGER_set(identifiers->type, FEDI_CT_CCHN_RESP);
    record = identifiers.get();
  }
  MessagePtr answer(FEDI_MESSAGE_new());
  if (FEDI_MESSAGE_fill(answer.get(), 0, 0, "FEDI test authority", type, record) != FEDI_MSG_OK) {
    return {};
  }
  const ASN1_OCTET_STRING* asked = request->digest;
  switch (digest) {
    case Digest::echoed:
      ASN1_STRING_copy(answer->digest, asked);
      break;
    case Digest::first16Bytes:
      ASN1_OCTET_STRING_set(answer->digest, asked->data, 16);
      break;
    case Digest::absent:
      ASN1_OCTET_STRING_free(answer->digest);
      answer->digest = nullptr;
      break;
    case Digest::oneByteChanged:
      ASN1_STRING_copy(answer->digest, asked);
      answer->digest->data[3] ^= 0x01;
      break;
  }
  return encode(answer.get());
}

struct SidQuery {
  SidQuery() {
    ASN1_STRING_set(query->sid2, "12345678", -1);
    ASN1_STRING_set(query->sid1, "TESTUSER01", -1);
  }
  Ptr<FEDI_CCHN_REQ> query{FEDI_CCHN_REQ_new()};
};

class CaClientTest : public ::testing::Test {
 protected:
  void SetUp() override { withoutProxy(); }

  // useSetUrl gives the connection the set URL url, as an initiation would.
  void useSetUrl(OwnedConnection& owned, const std::string& url) {
    owned.connection.setUrl = heapText(url);
  }

  // answerWith makes the server answer every posted message with type and digest.
  void answerWith(int type, Digest digest) {
    server.setHandler([type, digest](const RecordedRequest& posted) {
      return ScriptedHttpServer::response(200, answerTo(posted, type, digest));
    });
  }

  ScriptedHttpServer server;
};

TEST_F(CaClientTest, InitiationReadsTheKeyedLines) {
  struct Case {
    const char* name;
    std::string raw;
    const char* setUrl;  // null: absent
    const char* casid;
  };
  const Case kCases[] = {
      {"CRLF lines",
       ScriptedHttpServer::response(200,
                                    "FEDI-SET-URL: http://ca.example/fedi\r\n"
                                    "FEDI-CASID: TWCA01\r\n"),
       "http://ca.example/fedi", "TWCA01"},
      {"LF lines, no length announced",
       ScriptedHttpServer::responseWithoutLength(200,
                                                 "FEDI-CASID: TWCA01\n"
                                                 "FEDI-SET-URL: http://ca.example/fedi\n"),
       "http://ca.example/fedi", "TWCA01"},
      {"last value wins",
       ScriptedHttpServer::response(200,
                                    "FEDI-SET-URL: first\nFEDI-CASID: A\n"
                                    "FEDI-SET-URL: second\nFEDI-CASID: B\n"),
       "second", "B"},
      {"other lines ignored, last line unended",
       ScriptedHttpServer::response(200,
                                    "Welcome\r\nfedi-set-url: lower\r\nFEDI-SET-URL:tight\r\n"
                                    "\r\nFEDI-CASID: X\r"),
       nullptr, "X"},
      {"empty value", ScriptedHttpServer::response(200, "FEDI-SET-URL: \n"), "", nullptr},
      {"empty answer", ScriptedHttpServer::response(200, ""), nullptr, nullptr},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    server.respond(c.raw);
    OwnedConnection owned;
    ASSERT_EQ(NET_OK, ca_Initiate(server.url("/fedi/init").c_str(), &owned.connection));
    const CaConnection& connection = owned.connection;
    EXPECT_EQ(textOr(c.setUrl), textOr(connection.setUrl));
    EXPECT_EQ(textOr(c.casid), textOr(connection.casid));
    EXPECT_EQ(nullptr, connection.lastAnswer);
  }
  const RecordedRequest request = server.requests().front();
  EXPECT_EQ("GET /fedi/init HTTP/1.1", request.requestLine);
  EXPECT_EQ(kCaInitiationType, request.header("Content-Type"));
  EXPECT_FALSE(request.hasHeader("Content-Length"));
}

// A failed call returns its WinInet number, not -11; a status other than 200 has none and
// stays -12. Nothing is left in the connection.
TEST_F(CaClientTest, InitiationFailures) {
  const RefusingPort refusing;
  server.respond(ScriptedHttpServer::response(404, "FEDI-SET-URL: http://not/this\n"));
  struct Case {
    const char* name;
    std::string url;
    int result;
  };
  const Case kCases[] = {
      {"host that doesn't resolve", kUnresolvableUrl, 12007},
      {"port that refuses", refusing.url("/fedi/init"), 12029},
      {"status 404", server.url("/fedi/init"), NET_STATUS_NOT_OK},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    MessageCapture capture;
    OwnedConnection owned;
    EXPECT_EQ(c.result, ca_Initiate(c.url.c_str(), &owned.connection));
    EXPECT_EQ(nullptr, owned.connection.setUrl);
    EXPECT_EQ(nullptr, owned.connection.casid);
    EXPECT_EQ(c.result == NET_STATUS_NOT_OK ? 1u : 0u, capture.messages.size());
  }
}

// The whole round: initiation, one query posted to the set URL it named, the answer kept.
TEST_F(CaClientTest, ExchangePostsTheMessageToTheSetUrl) {
  server.respond(ScriptedHttpServer::response(
      200, "FEDI-SET-URL: " + server.url("/fedi/set") + "\r\nFEDI-CASID: TWCA01\r\n"));
  answerWith(FEDI_CT_CCHN_RESP, Digest::echoed);
  OwnedConnection owned;
  ASSERT_EQ(NET_OK, ca_Initiate(server.url("/fedi/init").c_str(), &owned.connection));
  SidQuery sid;
  ASSERT_EQ(NET_OK, ca_QuerySid(&owned.connection, sid.query.get()));
  ASSERT_NE(nullptr, owned.connection.lastAnswer);
  EXPECT_EQ(FEDI_CT_CCHN_RESP, owned.connection.lastAnswer->content->type);

  const auto requests = server.requests();
  ASSERT_EQ(2u, requests.size());
  const RecordedRequest& posted = requests[1];
  EXPECT_EQ("POST /fedi/set HTTP/1.1", posted.requestLine);
  EXPECT_EQ(kCaMessageType, posted.header("Content-Type"));
  EXPECT_EQ(std::to_string(posted.body.size()), posted.header("Content-Length"));
  const MessagePtr request = decode(posted.body);
  ASSERT_TRUE(request);
  EXPECT_EQ(0, ASN1_INTEGER_get(request->version));
  EXPECT_EQ(0, ASN1_INTEGER_get(request->second));
  EXPECT_EQ(kCaMessageAgent, std::string(reinterpret_cast<const char*>(request->agent->data),
                                         request->agent->length));
  EXPECT_EQ(FEDI_CT_CCHN_REQ, request->content->type);
  ASSERT_NE(nullptr, request->digest);
  ASSERT_EQ(20, request->digest->length);
  EXPECT_EQ(0, std::memcmp(request->digest->data + 16, "\0\0\0\0", 4));
}

// A status answer passes whatever its digest; any other answer, of whatever type (checking
// the type is the caller's part), must carry the request's 20 digest bytes exactly. The
// decoded answer is kept either way.
TEST_F(CaClientTest, AnswerMustEchoTheDigestUnlessItIsAStatus) {
  struct Case {
    const char* name;
    int type;
    Digest digest;
    int result;
  };
  const Case kCases[] = {
      {"expected type, digest echoed", FEDI_CT_CCHN_RESP, Digest::echoed, NET_OK},
      {"another type, digest echoed", FEDI_CT_CCHN_REQ, Digest::echoed, NET_OK},
      {"status, digest echoed", FEDI_CT_STATUS, Digest::echoed, NET_OK},
      {"status, digest changed", FEDI_CT_STATUS, Digest::oneByteChanged, NET_OK},
      {"status, no digest", FEDI_CT_STATUS, Digest::absent, NET_OK},
      {"digest of 16 bytes", FEDI_CT_CCHN_RESP, Digest::first16Bytes, CA_ANSWER_MISMATCH},
      {"no digest", FEDI_CT_CCHN_RESP, Digest::absent, CA_ANSWER_MISMATCH},
      {"digest changed", FEDI_CT_CCHN_RESP, Digest::oneByteChanged, CA_ANSWER_MISMATCH},
  };
  SidQuery sid;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    answerWith(c.type, c.digest);
    OwnedConnection owned;
    useSetUrl(owned, server.url("/fedi/set"));
    EXPECT_EQ(c.result, ca_QuerySid(&owned.connection, sid.query.get()));
    ASSERT_NE(nullptr, owned.connection.lastAnswer);
    EXPECT_EQ(c.type, owned.connection.lastAnswer->content->type);
  }
}

TEST_F(CaClientTest, AnswerThatDoesNotDecodeIsMinus3) {
  struct Case {
    const char* name;
    std::function<std::string(const std::string& goodAnswer)> raw;
  };
  const Case kCases[] = {
      {"not DER", [](const std::string&) { return ScriptedHttpServer::response(200, "busy"); }},
      {"empty body", [](const std::string&) { return ScriptedHttpServer::response(200, ""); }},
      {"a byte after the message",
       [](const std::string& good) { return ScriptedHttpServer::response(200, good + '\0'); }},
      {"closed halfway",
       [](const std::string& good) {
         return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(good.size()) + "\r\n\r\n" +
                good.substr(0, good.size() / 2);
       }},
  };
  SidQuery sid;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    server.setHandler([&c](const RecordedRequest& posted) {
      return c.raw(answerTo(posted, FEDI_CT_CCHN_RESP, Digest::echoed));
    });
    OwnedConnection owned;
    useSetUrl(owned, server.url("/fedi/set"));
    EXPECT_EQ(CA_DECODE_FAILED, ca_QuerySid(&owned.connection, sid.query.get()));
    EXPECT_EQ(nullptr, owned.connection.lastAnswer);
  }
}

// Failures before an answer arrives; none leaves an earlier exchange's answer behind.
TEST_F(CaClientTest, ExchangeFailures) {
  const RefusingPort refusing;
  server.respond(ScriptedHttpServer::response(404, ""));
  struct Case {
    const char* name;
    const char* setUrl;  // null: the initiation named none
    int type;
    int result;
  };
  const std::string notFound = server.url("/fedi/set");
  const std::string refused = refusing.url("/fedi/set");
  const Case kCases[] = {
      {"type without coder", notFound.c_str(), 12, FEDI_MSG_NO_CODER},
      {"no set URL", nullptr, FEDI_CT_CCHN_REQ, 12005},
      {"host that doesn't resolve", kUnresolvableUrl, FEDI_CT_CCHN_REQ, 12007},
      {"port that refuses", refused.c_str(), FEDI_CT_CCHN_REQ, 12029},
      {"status 404", notFound.c_str(), FEDI_CT_CCHN_REQ, NET_STATUS_NOT_OK},
  };
  SidQuery sid;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    MessageCapture capture;
    OwnedConnection owned;
    if (c.setUrl != nullptr) useSetUrl(owned, c.setUrl);
    owned.connection.lastAnswer = FEDI_MESSAGE_new();
    EXPECT_EQ(c.result, ca_Exchange(&owned.connection, c.type, sid.query.get()));
    EXPECT_EQ(nullptr, owned.connection.lastAnswer);
  }
  EXPECT_EQ(1u, server.requests().size());  // the 404 only: a message without coder isn't sent
}

TEST_F(CaClientTest, EntryPointsSendTheirContentType) {
  Ptr<FEDIREQ> newCert(FEDIREQ_new());
  Ptr<FEDIEXT> extend(FEDIEXT_new());
  Ptr<FEDIREV> revoke(FEDIREV_new());
  using QueryPtr = Ptr<FEDI_QUERY>;
  QueryPtr getCert(FEDI_QUERY_new("GeT_CeRt", FEDI_CT_GET_CERT));
  QueryPtr getCrl(FEDI_QUERY_new("GeT_CrL_", FEDI_CT_GET_CRL));
  QueryPtr getCaPk(FEDI_QUERY_new("GeT_CaPk", FEDI_CT_GET_CAPK));
  SidQuery sid;
  struct Case {
    const char* name;
    std::function<int(CaConnection*)> send;
    int type;
  };
  const Case kCases[] = {
      {"new certificate", [&](CaConnection* c) { return ca_SendNewCertRequest(c, newCert.get()); },
       FEDI_CT_NEW_CERT_REQ},
      {"extend", [&](CaConnection* c) { return ca_SendExtendRequest(c, extend.get()); },
       FEDI_CT_EXT_REQ},
      {"revoke", [&](CaConnection* c) { return ca_SendRevokeRequest(c, revoke.get()); },
       FEDI_CT_REV_REQ},
      {"certificate", [&](CaConnection* c) { return ca_QueryCertificate(c, getCert.get()); },
       FEDI_CT_GET_CERT},
      {"revocation list", [&](CaConnection* c) { return ca_QueryCrl(c, getCrl.get()); },
       FEDI_CT_GET_CRL},
      {"CA public key", [&](CaConnection* c) { return ca_QueryCaPublicKey(c, getCaPk.get()); },
       FEDI_CT_GET_CAPK},
      {"identifiers", [&](CaConnection* c) { return ca_QuerySid(c, sid.query.get()); },
       FEDI_CT_CCHN_REQ},
  };
  answerWith(FEDI_CT_STATUS, Digest::echoed);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    OwnedConnection owned;
    useSetUrl(owned, server.url("/fedi/set"));
    ASSERT_EQ(NET_OK, c.send(&owned.connection));
    const MessagePtr posted = decode(server.requests().back().body);
    ASSERT_TRUE(posted);
    EXPECT_EQ(c.type, posted->content->type);
  }
}

}  // namespace
}  // namespace kestrune::fedi::test
