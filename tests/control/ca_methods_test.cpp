// The CA methods against answers that a correct authority never gives, a host that doesn't
// resolve, and a token whose PIN has not been checked; and the requests they sign on the token.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "FEDIX509/fedi_req.h"
#include "tests/control/ca_scripted_authority.h"
#include "tests/control/cert_fixture.h"

namespace kestrune::testing {
namespace {

using Text = std::optional<std::u16string>;

class CaAnswers : public ScriptedCaTest {
 protected:
  void SetUp() override {
    ScriptedCaTest::SetUp();
    ASSERT_TRUE(bag);
  }
  const ca::BagPtr bag = holderBag();
};

TEST_F(CaAnswers, AnswersACorrectAuthorityNeverGives) {
  FEDICERT* answerBag = bag.get();
  struct Case {
    const char* name;
    std::function<std::string(const FEDI_MESSAGE*)> answer;
    std::int32_t code;
  };
  const Case cases[] = {
      {"status 13",
       [](const FEDI_MESSAGE* request) { return statusResponse(request, 13, "no such cert"); },
       2013},
      {"status without a digest, still read",
       [](const FEDI_MESSAGE*) { return statusResponse(nullptr, 31, "busy"); }, 2031},
      {"the answer to another request type",
       [answerBag](const FEDI_MESSAGE* request) {
         return messageResponse(request, FEDI_CT_NEW_CERT, answerBag);
       },
       +ControlCode::kUnexpectedAnswer},
      {"no content",
       [](const FEDI_MESSAGE* request) {
         return messageResponse(request, FEDI_CT_GET_CERT_ANS, nullptr);
       },
       +ControlCode::kUnexpectedAnswer},
      {"wrong digest",
       [answerBag](const FEDI_MESSAGE* request) {
         return messageResponse(request, FEDI_CT_GET_CERT_ANS, answerBag, Digest::wrong);
       },
       +ControlCode::kCaExchange13},
      {"no digest",
       [answerBag](const FEDI_MESSAGE* request) {
         return messageResponse(request, FEDI_CT_GET_CERT_ANS, answerBag, Digest::none);
       },
       +ControlCode::kCaExchange13},
      {"status 404",
       [](const FEDI_MESSAGE*) { return ScriptedHttpServer::response(404, "not here"); },
       +ControlCode::kCaExchange12},
      {"a body that is no message",
       [](const FEDI_MESSAGE*) { return ScriptedHttpServer::response(200, "0\x82no DER"); },
       +ControlCode::kEncodeFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    authority.answer(c.answer);
    EXPECT_FALSE(control.queryB64Certificate(url, kCasid1, kCasid2, u"42"));
    EXPECT_EQ(c.code, control.getErrorCode());
  }
  // Without debug messages the authority's status shows no box.
  for (const ShownMessage& shown : messages.shown()) EXPECT_NE("On-Line error", shown.caption);
}

TEST_F(CaAnswers, StatusIsShownWithDebugMessages) {
  authority.answer([](const FEDI_MESSAGE* request) {
    return statusResponse(request, 13, std::string("certificate not found\0hidden", 28));
  });
  control.showDebugMessage(1);
  EXPECT_FALSE(control.queryCaPublicKey(url, kCasid1, kCasid2));
  EXPECT_EQ(2013, control.getErrorCode());
  ASSERT_EQ(1u, messages.shown().size());
  EXPECT_EQ("On-Line error", messages.shown()[0].caption);
  EXPECT_EQ("13\ncertificate not found", messages.shown()[0].text);
}

TEST_F(CaAnswers, InitiationFailures) {
  authority.respond(ScriptedHttpServer::response(404, "no initiation here"));
  EXPECT_FALSE(control.queryCRL(url, kCasid1, kCasid2));
  EXPECT_EQ(+ControlCode::kCaExchange12, control.getErrorCode());
  EXPECT_EQ(1u, authority.requests().size());

  // A host that doesn't resolve: the WinInet error number, not a mapped code.
  EXPECT_FALSE(control.queryCRL(u"http://kestrune-ca.invalid/fedi/init", kCasid1, kCasid2));
  EXPECT_GE(control.getErrorCode(), 12000);
  EXPECT_LE(control.getErrorCode(), 12171);
}

// A token with the Linkway key pair and identifiers, logged in, with the test CA stored.
class CaTokenMethods : public CertTokenTest {
 protected:
  void SetUp() override {
    CertTokenTest::SetUp();
    ASSERT_EQ(+ControlCode::kOk, control.setSID(kSid1, kSid2));
    loadCa();
  }
  ScriptedAuthority authority;
  MessageRecorder messages;
  const std::u16string url = authority.initiationUrl();
};

TEST_F(CaTokenMethods, NothingIsSentBeforeCheckPassword) {
  control.close();
  ASSERT_EQ(+ControlCode::kOk, control.setCurrentSlot(0));  // a session, but no verified PIN
  EXPECT_EQ(+ControlCode::kPinNotVerified, control.newCertificate(url, u"secret"));
  EXPECT_EQ(+ControlCode::kPinNotVerified, control.extendCertificate(url));
  EXPECT_EQ(+ControlCode::kPinNotVerified, control.revokeCertificate(url, u"key lost"));
  EXPECT_EQ(+ControlCode::kPinNotVerified, control.getErrorCode());
  EXPECT_TRUE(authority.requests().empty());
}

TEST_F(CaTokenMethods, NewCertificateSendsASignedRequestAndChecksTheAnswerType) {
  const Bytes renewal = tokenCertBag(utc(2030, 1, 1), utc(2032, 1, 1));
  const unsigned char* position = renewal.data();
  const fedi::RecordPtr<FEDICERT> answer(
      d2i_FEDICERT(nullptr, &position, static_cast<long>(renewal.size())));
  ASSERT_TRUE(answer);
  // The answer a renewal gets is no answer to a new-certificate request.
  authority.answer([&answer](const FEDI_MESSAGE* request) {
    return messageResponse(request, FEDI_CT_EXT_CERT, answer.get());
  });
  EXPECT_EQ(+ControlCode::kUnexpectedAnswer, control.newCertificate(url, u"pass phrase"));
  EXPECT_FALSE(has("EOICert"));

  const auto posted = authority.posted();
  ASSERT_EQ(1u, posted.size());
  auto* request = content<FEDIREQ>(posted[0], FEDI_CT_NEW_CERT_REQ);
  ASSERT_NE(nullptr, request);
  EXPECT_EQ("O=12345678,CN=TESTUSER01", nameText(X509_REQ_get_subject_name(request->request)));
  const std::string pass = "pass phrase";
  EXPECT_EQ(
      1, FEDIREQ_verify(request, reinterpret_cast<const unsigned char*>(pass.data()), pass.size()));
  EXPECT_EQ(0, FEDIREQ_verify(request, reinterpret_cast<const unsigned char*>("pass phrasE"), 11));
}

// With debug messages on, the failures of the methods that take a PIN or a pass phrase show
// boxes; none of them carries the secret.
TEST_F(CaTokenMethods, NoSecretReachesAMessageBox) {
  const std::string pass = "Pass-Phrase-7Q";
  const std::string oldPin = "Old-PIN-3141";
  const std::string wrongPin = "Wrong-PIN-2718";
  control.showDebugMessage(1);
  authority.answer(
      [](const FEDI_MESSAGE* request) { return statusResponse(request, 13, "holder unknown"); });
  EXPECT_EQ(2013, control.newCertificate(url, u16(pass)));
  EXPECT_EQ(+ControlCode::kTokenFailure, control.setPassword(u16(oldPin), u16(pass)));
  EXPECT_EQ(+ControlCode::kFileOpenFailed,
            control.makeRequestCert(1, u16(hsm.dir() + "/missing/request.der"), u16(pass)));
  EXPECT_EQ(+ControlCode::kPinRefused, control.checkPassword(u16(wrongPin)));
  setProxyFaults("C_GetSlotList=empty");
  EXPECT_EQ(+ControlCode::kTokenFailure, control.checkPassword(u16(wrongPin)));
  setProxyFaults("");

  ASSERT_GE(messages.shown().size(), 2u);
  for (const ShownMessage& shown : messages.shown()) {
    SCOPED_TRACE(shown.caption);
    for (const std::string& secret : {pass, oldPin, wrongPin}) {
      EXPECT_EQ(std::string::npos, shown.text.find(secret));
      EXPECT_EQ(std::string::npos, shown.caption.find(secret));
    }
  }
}

TEST_F(CaTokenMethods, RevocationSendsTheReasonAndKeepsTheCertificate) {
  ASSERT_EQ(+ControlCode::kOk,
            control.loadCertB64(u16(base64(tokenCertBag(utc(2030, 1, 1), utc(2032, 1, 1))))));
  const Bytes stored = value("EOICert");
  const auto crl = crlListing({1001});
  authority.answer([&crl](const FEDI_MESSAGE* request) {
    return messageResponse(request, FEDI_CT_REV_CRL, crl.get());
  });
  EXPECT_EQ(+ControlCode::kOk, control.revokeCertificate(url, u"key lost"));
  EXPECT_EQ(stored, value("EOICert"));

  const auto posted = authority.posted();
  ASSERT_EQ(1u, posted.size());
  auto* request = content<FEDIREV>(posted[0], FEDI_CT_REV_REQ);
  ASSERT_NE(nullptr, request);
  EXPECT_EQ("key lost", stringText(request->signedPart->body->reason));
  EXPECT_EQ("1001", integerDecimal(request->signedPart->body->serialNumber2));
}

}  // namespace
}  // namespace kestrune::testing
