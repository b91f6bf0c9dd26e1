// makeCard, setSID and setPassword: personalising a token and changing its PIN.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/session_state.h"
#include "tests/control/control_test_support.h"
#include "tests/control/identity_layouts.h"
#include "tests/support/softhsm.h"

namespace kestrune {
namespace {

using testing::Bytes;
using testing::kUserPin;
using testing::u16;

Bytes textWithZero(std::string_view text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

std::vector<std::string> sorted(std::vector<std::string> labels) {
  std::sort(labels.begin(), labels.end());
  return labels;
}

// A token that was personalised before and holds certificates, the CA certificate and a card
// serial number.
void layOutUsedCard(testing::SoftHsm& hsm) {
  testing::layOutLinkway(hsm, "OLD1", "OLDORG");
  for (const char* label : {"EOICert", "EOICertNew", "EOICAert", "EOICARDSN"}) {
    hsm.createData(0, {.label = label, .value = textWithZero(label)});
  }
}

class MakeCard : public ::testing::Test {
 protected:
  void SetUp() override {
    layOutUsedCard(hsm);
    ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::proxyModule())));
  }
  void TearDown() override { testing::setProxyFaults(""); }

  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
};

TEST_F(MakeCard, WithoutCheckPasswordChangesNothing) {
  const auto before = sorted(hsm.labels(0));
  const Bytes modulus = hsm.attribute(0, "FEDICA.pubkey", CKA_MODULUS);

  EXPECT_EQ(+ControlCode::kPinNotVerified, control.makeCard(u"U001", u"ORG01"));
  EXPECT_EQ(+ControlCode::kPinNotVerified, control.getErrorCode());
  // Nor after the login has ended.
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  control.close();
  testing::resetProxyCalls();
  EXPECT_EQ(+ControlCode::kPinNotVerified, control.makeCard(u"U001", u"ORG01"));
  EXPECT_EQ(0u, testing::proxyCalls());

  EXPECT_EQ(before, sorted(hsm.labels(0)));
  EXPECT_EQ(modulus, hsm.attribute(0, "FEDICA.pubkey", CKA_MODULUS));
  EXPECT_EQ(textWithZero("OLD1"), hsm.attribute(0, "EOISID1", CKA_VALUE));
}

TEST_F(MakeCard, WritesAFreshLinkwayCredential) {
  const Bytes oldModulus = hsm.attribute(0, "FEDICA.pubkey", CKA_MODULUS);
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  EXPECT_EQ(u"OLD1", control.getSID1());  // cached now; makeCard must drop it

  EXPECT_EQ(+ControlCode::kOk, control.makeCard(u"U001", u"ORG01"));
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  EXPECT_EQ(u"U001", control.getSID1());
  EXPECT_EQ(u"ORG01", control.getSID2());
  EXPECT_EQ(u"Linkway", control.getType());
  control.close();

  // Certificates are gone; the CA certificate and the card serial number stay.
  const std::vector<std::string> want = {"EOICARDSN", "EOICAert",      "EOISID1",
                                         "EOISID2",   "FEDICA.prikey", "FEDICA.pubkey"};
  EXPECT_EQ(want, sorted(hsm.labels(0)));
  EXPECT_EQ(textWithZero("U001"), hsm.attribute(0, "EOISID1", CKA_VALUE));
  EXPECT_EQ(textWithZero("ORG01"), hsm.attribute(0, "EOISID2", CKA_VALUE));
  EXPECT_EQ(textWithZero("Vornix-P11"), hsm.attribute(0, "EOISID1", CKA_APPLICATION));
  EXPECT_EQ(Bytes{CK_FALSE}, hsm.attribute(0, "EOISID1", CKA_PRIVATE));

  // A new 512-bit key pair: public key public, private key private, the Linkway identifier.
  const Bytes modulus = hsm.attribute(0, "FEDICA.pubkey", CKA_MODULUS);
  EXPECT_EQ(64u, modulus.size());
  EXPECT_NE(oldModulus, modulus);
  EXPECT_EQ(Bytes{CK_FALSE}, hsm.attribute(0, "FEDICA.pubkey", CKA_PRIVATE));
  EXPECT_EQ(Bytes{CK_TRUE}, hsm.attribute(0, "FEDICA.prikey", CKA_PRIVATE));
  const std::string id = "969583950001LINKWAY";
  EXPECT_EQ(Bytes(id.begin(), id.end()), hsm.attribute(0, "FEDICA.prikey", CKA_ID));
}

TEST_F(MakeCard, ReportsAFullMemoryApartFromOtherFailures) {
  struct Case {
    const char* faults;
    std::int32_t want;
  };
  const Case cases[] = {
      {"C_GenerateKeyPair=0x31", +ControlCode::kTokenMemoryFull},
      {"C_CreateObject=0x31", +ControlCode::kTokenMemoryFull},
      {"C_GenerateKeyPair=0x5", +ControlCode::kKeyGenerationFailed},
      {"C_CreateObject=0x5", +ControlCode::kWriteFailed},
      {"C_CreateObject=0x30", +ControlCode::kWriteFailed},  // CKR_DEVICE_ERROR
      {"C_DestroyObject=0x5", +ControlCode::kDeleteFailed},
  };
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    testing::setProxyFaults("");
    ASSERT_EQ(+ControlCode::kOk,
              control.makeCard(u"U001", u"ORG01"));  // every object is there again
    testing::setProxyFaults(c.faults);
    EXPECT_EQ(c.want, control.makeCard(u"U002", u"ORG02"));
    EXPECT_EQ(c.want, control.getErrorCode());
  }
}

TEST_F(MakeCard, RefusesIdentifiersTooLongForTheirBuffer) {
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  testing::resetProxyCalls();
  EXPECT_EQ(+ControlCode::kTextBufferFailed,
            control.makeCard(std::u16string(1024, u'U'), u"ORG01"));
  EXPECT_EQ(+ControlCode::kTextBufferFailed, control.makeCard(u"U001", std::u16string(1024, u'O')));
  EXPECT_EQ(0u, testing::proxyCalls());
  EXPECT_EQ(+ControlCode::kOk, control.makeCard(std::u16string(1023, u'U'), u"ORG01"));
}

class SetSid : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::layOutLinkway(hsm, "U001", "ORG01");
    ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::proxyModule())));
  }
  void TearDown() override { testing::setProxyFaults(""); }

  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
};

TEST_F(SetSid, RewritesTheIdentifiersOnTheOpenSession) {
  EXPECT_EQ(u"U001", control.getSID1());  // opens the session, without a login
  EXPECT_EQ(u"ORG01", control.getSID2());

  EXPECT_EQ(+ControlCode::kOk, control.setSID(u"U002", u"ORG02"));
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  testing::resetProxyCalls();
  EXPECT_EQ(u"U002", control.getSID1());  // read from the token again
  EXPECT_EQ(u"ORG02", control.getSID2());
  EXPECT_LT(0u, testing::proxyCalls("C_GetAttributeValue"));
  control.close();
  EXPECT_EQ(textWithZero("U002"), hsm.attribute(0, "EOISID1", CKA_VALUE));
  EXPECT_EQ(textWithZero("ORG02"), hsm.attribute(0, "EOISID2", CKA_VALUE));
}

TEST_F(SetSid, UndeletableSid1LeavesSid2Unchanged) {
  ASSERT_EQ(u"U001", control.getSID1());
  testing::setProxyFaults("C_DestroyObject=0x5");
  EXPECT_EQ(+ControlCode::kDeleteFailed, control.setSID(u"U002", u"ORG02"));
  EXPECT_EQ(+ControlCode::kDeleteFailed, control.getErrorCode());
  testing::setProxyFaults("");
  control.close();
  EXPECT_EQ(textWithZero("U001"), hsm.attribute(0, "EOISID1", CKA_VALUE));
  EXPECT_EQ(textWithZero("ORG01"), hsm.attribute(0, "EOISID2", CKA_VALUE));
}

TEST_F(SetSid, WithoutASessionFailsWithoutTouchingTheToken) {
  testing::resetProxyCalls();
  EXPECT_EQ(+ControlCode::kWriteFailed, control.setSID(u"U002", u"ORG02"));
  EXPECT_EQ(+ControlCode::kWriteFailed, control.getErrorCode());
  EXPECT_EQ(0u, testing::proxyCalls());
  EXPECT_FALSE(control::sessionOpen());
  EXPECT_EQ(textWithZero("U001"), hsm.attribute(0, "EOISID1", CKA_VALUE));
}

TEST_F(SetSid, RefusesTextsItCannotConvert) {
  ASSERT_EQ(u"U001", control.getSID1());
  const char16_t loneSurrogate[] = {u'U', 0xD800};
  EXPECT_EQ(+ControlCode::kTextBufferFailed,
            control.setSID(std::u16string_view(loneSurrogate, 2), u"ORG02"));
  EXPECT_EQ(+ControlCode::kTextBufferFailed, control.setSID(u"U002", std::u16string(1024, u'O')));
  EXPECT_EQ(u"U001", control.getSID1());
}

TEST(SetPassword, NeedsCheckPasswordFirst) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(u"123456", u16(kUserPin));

  EXPECT_EQ(+ControlCode::kPinNotVerified, control.setPassword(u"123456", u"654321"));
  EXPECT_EQ(+ControlCode::kPinNotVerified, control.getErrorCode());
  EXPECT_EQ(+ControlCode::kOk, control.checkPassword(u"123456"));  // unchanged
}

TEST(SetPassword, ChangesThePinForTheNextLogin) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u"123456"));

  EXPECT_EQ(+ControlCode::kTokenFailure, control.setPassword(u"000000", u"654321"));
  const char16_t loneSurrogate[] = {u'6', 0xD800};
  EXPECT_EQ(+ControlCode::kBadText,
            control.setPassword(u"123456", std::u16string_view(loneSurrogate, 2)));
  EXPECT_EQ(+ControlCode::kOk, control.setPassword(u"123456", u"654321"));
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  EXPECT_EQ(1, control::pinVerifiedFlag());  // the session and its login stay

  EXPECT_EQ(+ControlCode::kPinRefused, control.checkPassword(u"123456"));
  EXPECT_EQ(+ControlCode::kOk, control.checkPassword(u"654321"));
}

}  // namespace
}  // namespace kestrune
