// getSID1, getSID2 and getCSN on the four token layouts, and the identifier caches.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ca/issuing.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "tests/control/control_test_support.h"
#include "tests/control/identity_layouts.h"
#include "tests/support/softhsm.h"

namespace kestrune {
namespace {

using testing::Bytes;
using testing::kUserPin;
using testing::u16;

struct Identity {
  std::optional<std::u16string> sid1, sid2, csn;
  std::int32_t sid1Code = 0, sid2Code = 0, csnCode = 0;
};

// identityOf reads the three identifiers, each with the code it left.
Identity identityOf(TVFEDIMiniKeyCrypt& control) {
  Identity read;
  read.sid1 = control.getSID1();
  read.sid1Code = control.getErrorCode();
  read.sid2 = control.getSID2();
  read.sid2Code = control.getErrorCode();
  read.csn = control.getCSN();
  read.csnCode = control.getErrorCode();
  return read;
}

void expectIdentity(const Identity& read, const char16_t* sid1, const char16_t* sid2,
                    const char16_t* csn) {
  EXPECT_EQ(std::u16string(sid1), read.sid1);
  EXPECT_EQ(std::u16string(sid2), read.sid2);
  EXPECT_EQ(std::u16string(csn), read.csn);
  EXPECT_EQ(+ControlCode::kOk, read.sid1Code);
  EXPECT_EQ(+ControlCode::kOk, read.sid2Code);
  EXPECT_EQ(+ControlCode::kOk, read.csnCode);
}

void expectFailures(const Identity& read, std::int32_t sid1Code, std::int32_t sid2Code,
                    std::int32_t csnCode) {
  EXPECT_EQ(std::nullopt, read.sid1);
  EXPECT_EQ(std::nullopt, read.sid2);
  EXPECT_EQ(std::nullopt, read.csn);
  EXPECT_EQ(sid1Code, read.sid1Code);
  EXPECT_EQ(sid2Code, read.sid2Code);
  EXPECT_EQ(csnCode, read.csnCode);
}

TEST(Identifiers, SafeNetKeepsThemInTheObjectNamedAfterTheCsn) {
  testing::SoftHsm hsm;
  testing::layOutSafeNet(hsm, "0123456789", "S001", "SORG01");
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(u"SafeNet", control.getType());
  expectIdentity(identityOf(control), u"S001", u"SORG01", u"0123456789");  // no PIN needed
}

TEST(Identifiers, SafeNetWithoutItsDataObjectHasNone) {
  testing::SoftHsm hsm;
  hsm.generateKeyPair(0, testing::kSafeNetPublicKey, testing::kSafeNetPrivateKey, 512);
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  expectFailures(identityOf(control), +ControlCode::kReadFailed, +ControlCode::kReadFailed,
                 +ControlCode::kReadFailed);
}

TEST(Identifiers, TaiOneReadsUserDataAfterCheckPassword) {
  testing::SoftHsm hsm;
  testing::layOutTaiOne(hsm, testing::taiOneUserData("TORG01", "T001", {0, 0, 0, 0, 0, 0, 1, 0}));
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(u"TaiOne", control.getType());
  expectFailures(identityOf(control), +ControlCode::kPinNotVerified, +ControlCode::kPinNotVerified,
                 +ControlCode::kPinNotVerified);

  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  expectIdentity(identityOf(control), u"T001", u"TORG01", u"256");
}

TEST(Identifiers, TaiOneUserDataMustBeWhole) {
  struct Case {
    const char* name;
    Bytes userData;
    std::int32_t sid1Code, sid2Code, csnCode;
  };
  Bytes shortRecord = testing::taiOneUserData("TORG01", "T001", {});
  shortRecord.pop_back();
  Bytes longRecord = testing::taiOneUserData("TORG01", "T001", {});
  longRecord.push_back(' ');
  // No blank ends SID1 (its field runs into the serial number and the rest of the record),
  // nor, in the second record, SID2.
  Bytes noBlank(152, 'X');
  Bytes noBlankAfterSid1 = testing::taiOneUserData("TORG01", "", {});
  std::fill(noBlankAfterSid1.begin() + 36, noBlankAfterSid1.end(), 'X');
  const Case cases[] = {
      {"151 bytes", shortRecord, +ControlCode::kReadFailed, +ControlCode::kReadFailed,
       +ControlCode::kReadFailed},
      {"153 bytes", longRecord, +ControlCode::kReadFailed, +ControlCode::kReadFailed,
       +ControlCode::kReadFailed},
      {"no blank after SID1", noBlankAfterSid1, +ControlCode::kReadFailed, +ControlCode::kOk,
       +ControlCode::kOk},
      {"no blank at all", noBlank, +ControlCode::kReadFailed, +ControlCode::kReadFailed,
       +ControlCode::kOk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::SoftHsm hsm;
    testing::layOutTaiOne(hsm, c.userData);
    TVFEDIMiniKeyCrypt control;
    ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
    ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
    const Identity read = identityOf(control);
    EXPECT_EQ(c.sid1Code, read.sid1Code);
    EXPECT_EQ(c.sid2Code, read.sid2Code);
    EXPECT_EQ(c.csnCode, read.csnCode);
  }
}

TEST(Identifiers, ZrmlReadsTheCertificateObject) {
  testing::SoftHsm hsm;
  testing::layOutZrml(hsm, {.label = "ZRML user",
                            .commonName = "Z001",
                            .issuerOrganisation = "ZRML Org",
                            .serial = 0x0A});
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(u"ZRML", control.getType());
  // The CN is a BMPString; the serial number is written in hexadecimal.
  expectIdentity(identityOf(control), u"Z001", u"ZRML Org", u"0A");
}

TEST(Identifiers, ZrmlNamesInChineseArriveAsTheirCharacters) {
  testing::SoftHsm hsm;
  testing::layOutZrml(hsm, {.label = "ZRML user",
                            .commonName = "王小明",
                            .issuerOrganisation = "臺灣網路認證",
                            .serial = 0x123456789A});
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  expectIdentity(identityOf(control), u"王小明", u"臺灣網路認證", u"123456789A");
}

TEST(Identifiers, LinkwayKeepsThemInItsOwnObjects) {
  testing::SoftHsm hsm;
  testing::layOutLinkway(hsm, "U001", "ORG01");
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(u"Linkway", control.getType());
  const Identity read = identityOf(control);
  EXPECT_EQ(u"U001", read.sid1);
  EXPECT_EQ(u"ORG01", read.sid2);
  // The CSN is the serial number of the user's certificate, and none is stored yet.
  EXPECT_EQ(std::nullopt, read.csn);
  EXPECT_EQ(+ControlCode::kReadFailed, read.csnCode);
}

TEST(Identifiers, NoTokenGivesTheConnectionCode) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;  // no library loaded
  const Identity read = identityOf(control);
  EXPECT_EQ(std::nullopt, read.sid1);
  EXPECT_EQ(+ControlCode::kTokenFailure, read.sid1Code);
  EXPECT_EQ(+ControlCode::kTokenFailure, read.csnCode);
}

TEST(Identifiers, LinkwayCsnIsTheUserCertificateSerialInDecimal) {
  testing::SoftHsm hsm;
  testing::layOutLinkway(hsm, "U001", "ORG01");
  const ca::KeyPtr caKey = ca::generateRsaKey(1024);
  const ca::KeyPtr userKey = ca::generateRsaKey(512);
  ca::CertificateSpec spec;
  spec.serial = 0x0A;
  spec.issuer = {"FEDI", "FEDICA01"};
  spec.subject = {"ORG01", "U001"};
  spec.notBefore = ca::FediTime(std::time_t{1700000000});
  spec.notAfter = ca::FediTime(std::time_t{2000000000});
  spec.subjectKey = userKey.get();
  const ca::CertificatePtr certificate = ca::issueCertificate(spec, caKey.get());
  ASSERT_TRUE(certificate);
  FEDI_X509* certificates[] = {certificate.get()};
  const ca::BagPtr bag = ca::makeBag(certificates);
  ASSERT_TRUE(bag);
  hsm.createData(0, {.label = "EOICert", .value = ca::toDer(*bag)});

  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  EXPECT_EQ(u"10", control.getCSN());
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
}

TEST(IdentifierCache, ServesSidsAfterTheTokenHasGoneUntilSetSid) {
  testing::SoftHsm hsm;
  testing::layOutLinkway(hsm, "U001", "ORG01");
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::proxyModule())));
  ASSERT_EQ(u"U001", control.getSID1());
  ASSERT_EQ(u"ORG01", control.getSID2());

  // The card is pulled: no session can be opened any more.
  control.close();
  testing::setProxyFaults("C_GetSlotList=empty");
  EXPECT_EQ(u"U001", control.getSID1());
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  EXPECT_EQ(u"ORG01", control.getSID2());
  EXPECT_EQ(std::nullopt, control.getCSN());

  // Logging in again keeps the caches; setSID drops them.
  testing::setProxyFaults("");
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  testing::resetProxyCalls();
  EXPECT_EQ(u"U001", control.getSID1());
  EXPECT_EQ(0u, testing::proxyCalls("C_GetAttributeValue"));
  ASSERT_EQ(+ControlCode::kOk, control.setSID(u"U002", u"ORG02"));
  EXPECT_EQ(u"U002", control.getSID1());
  EXPECT_EQ(u"ORG02", control.getSID2());
}

TEST(IdentifierCache, EachInstanceKeepsItsOwn) {
  testing::SoftHsm hsm;
  testing::layOutLinkway(hsm, "U001", "ORG01");
  TVFEDIMiniKeyCrypt writer;
  TVFEDIMiniKeyCrypt reader;
  ASSERT_EQ(+ControlCode::kOk, writer.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(u"U001", reader.getSID1());
  ASSERT_EQ(+ControlCode::kOk, writer.setSID(u"U002", u"ORG02"));
  EXPECT_EQ(u"U001", reader.getSID1());  // its cache was filled before
  EXPECT_EQ(u"ORG02", reader.getSID2());
  EXPECT_EQ(u"U002", writer.getSID1());
}

}  // namespace
}  // namespace kestrune
