// getType and setTokenType: which layout a token has.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "tests/control/control_test_support.h"
#include "tests/support/softhsm.h"

namespace kestrune {
namespace {

using testing::u16;

// Objects are added to one token step by step; each step's marker outranks the ones before,
// so the detection order shows as well as each type.
TEST(GetType, DetectsEachLayoutInLabelOrder) {
  testing::SoftHsm hsm;
  struct Step {
    const char* layout;
    void (*add)(testing::SoftHsm&);
    std::optional<std::u16string> want;
  };
  const Step steps[] = {
      {"identifiers only",
       [](testing::SoftHsm& h) {
         testing::SoftHsm::DataObject sid1;
         sid1.label = "EOISID1";
         sid1.value = {'U', 0};
         h.createData(0, sid1);
       },
       std::nullopt},
      {"a certificate object",
       [](testing::SoftHsm& h) {
         h.createCertificate(0, "ZRML user", testing::selfSignedCertificate("ZRML user"));
       },
       u"ZRML"},
      {"a TaiOne key pair",
       [](testing::SoftHsm& h) { h.generateKeyPair(0, "FEDIPubKey", "FEDIPriKey", 512); },
       u"TaiOne"},
      {"a SafeNet key pair",
       [](testing::SoftHsm& h) {
         h.generateKeyPair(0, "A FEDI RSA Public Key", "A FEDI RSA PRIVATE Key", 512);
       },
       u"SafeNet"},
      {"a Linkway key pair",
       [](testing::SoftHsm& h) { h.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512); },
       u"Linkway"},
      // A marker label must name exactly one object.
      {"a second Linkway key pair",
       [](testing::SoftHsm& h) { h.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512); },
       u"SafeNet"},
  };
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  for (const auto& step : steps) {
    SCOPED_TRACE(step.layout);
    control.close();  // the fixture works on the token through its own session
    step.add(hsm);
    EXPECT_EQ(step.want, control.getType());
    EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  }
}

TEST(GetType, ForcedTypesDoNotLookAtTheToken) {
  struct Case {
    std::int32_t type;
    std::u16string want;
  };
  const Case cases[] = {{0, u"Linkway"}, {1, u"SafeNet"}, {2, u"TaiOne"}};
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::proxyModule())));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    control.setTokenType(c.type);
    testing::resetProxyCalls();
    EXPECT_EQ(c.want, control.getType());
    EXPECT_EQ(0u, testing::proxyCalls("C_FindObjectsInit"));
  }
}

TEST(GetType, TypeThreeAndAboveLookOnlyForACertificate) {
  testing::SoftHsm hsm;
  hsm.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  control.setTokenType(-1);
  EXPECT_EQ(u"Linkway", control.getType());

  const std::int32_t types[] = {3, 7};
  for (const auto type : types) {
    SCOPED_TRACE(type);
    control.setTokenType(type);
    EXPECT_EQ(std::nullopt, control.getType());
  }
  control.close();
  hsm.createCertificate(0, "ZRML user", testing::selfSignedCertificate("ZRML user"));
  for (const auto type : types) {
    SCOPED_TRACE(type);
    control.setTokenType(type);
    EXPECT_EQ(u"ZRML", control.getType());
  }
}

}  // namespace
}  // namespace kestrune
