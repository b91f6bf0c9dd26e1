// Loading certificates onto the token: the CA's bag, the user's certificate with its checks,
// the renewal rule, bundles, and replacements that fail half way.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "tests/ca/test_authority.h"
#include "tests/control/cert_fixture.h"
#include "tests/control/control_test_support.h"

namespace kestrune::testing {
namespace {

// oneLine drops the line feeds of the control's Base64.
std::string oneLine(const std::optional<std::u16string>& text) {
  std::string flat;
  if (!text) return "(null)";
  for (const char16_t c : *text) {
    if (c != u'\n') flat.push_back(static_cast<char>(c));
  }
  return flat;
}

int countLabel(SoftHsm& hsm, std::string_view label) {
  int count = 0;
  for (const auto& present : hsm.labels(0)) count += present == label ? 1 : 0;
  return count;
}

TEST_F(CertTokenTest, LoadCACertStoresTheBagAsGivenAndReplacesIt) {
  const Bytes first = caBag();
  const std::string path = hsm.dir() + "/ca.der";
  writeFile(path, first);
  EXPECT_EQ(+ControlCode::kOk, control.loadCACert(u16(path)));
  EXPECT_EQ(withZero(first), value("EOICAert"));
  EXPECT_EQ(Bytes({'V', 'o', 'r', 'n', 'i', 'x', '-', 'P', '1', '1', 0}),
            hsm.attribute(0, "EOICAert", CKA_APPLICATION));

  setNow(kNow + 60);  // a bag stamped a minute later
  const Bytes second = caBag();
  ASSERT_NE(first, second);
  EXPECT_EQ(+ControlCode::kOk, control.loadCACertB64(u16(base64(second))));
  EXPECT_EQ(withZero(second), value("EOICAert"));
  EXPECT_EQ(1, countLabel(hsm, "EOICAert"));
}

// Loading the CA's bag needs the built-in record of the selected authority to decode.
TEST_F(CertTokenTest, LoadCACertWorksWithEitherBuiltInRecord) {
  const std::string caB64 = base64(caBag());
  for (const std::int32_t test : {0, 1, 0}) {
    SCOPED_TRACE(test);
    control.setTestVersion(test);
    EXPECT_EQ(+ControlCode::kOk, control.loadCACertB64(u16(caB64)));
  }
}

TEST_F(CertTokenTest, LoadCACertRefusesWhatIsNoCertificateBag) {
  struct Case {
    const char* what;
    std::optional<Bytes> file;  // none: the file is missing
    std::int32_t want;
  };
  const Case cases[] = {
      {"a missing file", std::nullopt, +ControlCode::kFileOpenFailed},
      {"bytes that are no bag", Bytes{0x30, 0x03, 0x02, 0x01, 0x00}, +ControlCode::kUndecodable},
      {"a bag without certificates", bag({}), +ControlCode::kBagCount},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = hsm.dir() + "/ca-case.der";
    std::remove(path.c_str());
    if (c.file) writeFile(path, *c.file);
    EXPECT_EQ(c.want, control.loadCACert(u16(path)));
    EXPECT_EQ(c.want, control.getErrorCode());
    if (c.file) {
      EXPECT_EQ(c.want, control.loadCACertB64(u16(base64(*c.file))));
    }
  }
  EXPECT_EQ(+ControlCode::kBase64Failed, control.loadCACertB64(u"MII*"));
  EXPECT_FALSE(has("EOICAert"));
}

TEST_F(CertTokenTest, LoadCertRefusesCertificatesTheTokenMustNotHold) {
  loadCa();
  const auto foreignSigned = issue(kNow - 86400, kNow + 86400, {}, stranger());
  const auto otherKey = issue(kNow - 86400, kNow + 86400, SubjectKey(stranger()));
  const auto mine = issue(kNow - 86400, kNow + 86400);
  struct Case {
    const char* what;
    std::string base64;
    std::int32_t want;
  };
  const Case cases[] = {
      {"signed by a key other than the CA's", base64(bag({foreignSigned.get()})),
       +ControlCode::kSignatureInvalid},
      {"for a key that is not the token's", base64(bag({otherKey.get()})),
       +ControlCode::kKeyMismatch},
      {"a bag without certificates", base64(bag({})), +ControlCode::kUndecodable},
      {"a bag of two certificates", base64(bag({mine.get(), mine.get()})),
       +ControlCode::kUndecodable},
      {"bytes that are no bag", base64({0x04, 0x01, 0x00}), +ControlCode::kUndecodable},
      {"text that is no Base64", "MII-", +ControlCode::kBase64Failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.want, control.loadCertB64(u16(c.base64)));
    EXPECT_EQ(c.want, control.getErrorCode());
  }
  EXPECT_EQ(+ControlCode::kFileOpenFailed, control.loadCert(u16(hsm.dir() + "/missing.cer")));
  EXPECT_FALSE(has("EOICert"));
  EXPECT_FALSE(has("EOICertNew"));
}

TEST_F(CertTokenTest, LoadCertNeedsTheCaCertificateOnTheToken) {
  EXPECT_EQ(+ControlCode::kReadFailed,
            control.loadCertB64(u16(base64(tokenCertBag(kNow, kNow + 86400)))));
  EXPECT_FALSE(has("EOICert"));
}

TEST_F(CertTokenTest, RenewalWaitsBesideTheCurrentCertificateUntilItExpires) {
  loadCa();
  const Bytes current = tokenCertBag(utc(2030, 1, 1), utc(2030, 12, 31));
  const Bytes renewal = tokenCertBag(utc(2030, 11, 1), utc(2031, 12, 31));
  const std::string path = hsm.dir() + "/current.cer";
  writeFile(path, current);
  ASSERT_EQ(+ControlCode::kOk, control.loadCert(u16(path)));
  EXPECT_EQ(withZero(current), value("EOICert"));
  EXPECT_FALSE(has("EOICertNew"));

  ASSERT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(renewal))));
  EXPECT_EQ(withZero(current), value("EOICert"));
  EXPECT_EQ(withZero(renewal), value("EOICertNew"));
  EXPECT_EQ(base64(withZero(renewal)), oneLine(control.getNewCertB64()));
  EXPECT_EQ(base64(withZero(current)), oneLine(control.getCertB64()));
  EXPECT_EQ(u"20300101", control.getBeginDate());

  // A day after the current certificate's end, a page that reads the certificate anew finds
  // the renewal in its place.
  setNow(utc(2031, 1, 1, 12));
  TVFEDIMiniKeyCrypt page;
  EXPECT_EQ(u"20301101", page.getBeginDate());
  EXPECT_EQ(+ControlCode::kOk, page.getErrorCode());
  EXPECT_EQ(withZero(renewal), value("EOICert"));
  EXPECT_FALSE(has("EOICertNew"));
  EXPECT_EQ(std::nullopt, page.getNewCertB64());
  EXPECT_EQ(+ControlCode::kReadFailed, page.getErrorCode());
  EXPECT_EQ(+ControlCode::kReadFailed, page.getNewCert(u16(hsm.dir() + "/new.cer")));
}

TEST_F(CertTokenTest, StoreReplacesACurrentCertificateThatHasExpired) {
  loadCa();
  ASSERT_EQ(+ControlCode::kOk,
            control.loadCertB64(u16(base64(tokenCertBag(utc(2029, 1, 1), utc(2030, 1, 1))))));
  const Bytes fresh = tokenCertBag(utc(2030, 5, 1), utc(2031, 5, 1));
  EXPECT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(fresh))));
  EXPECT_EQ(withZero(fresh), value("EOICert"));
  EXPECT_FALSE(has("EOICertNew"));
}

TEST_F(CertTokenTest, TheSameCertificateTwiceWhileInForceIsParked) {
  loadCa();
  const Bytes current = tokenCertBag(utc(2030, 1, 1), utc(2030, 12, 31));
  ASSERT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(current))));
  // What the token holds carries one zero byte more than the bag, so it is not the same value.
  EXPECT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(current))));
  EXPECT_EQ(withZero(current), value("EOICert"));
  EXPECT_EQ(withZero(current), value("EOICertNew"));
  // A third store while one is parked replaces the parked one.
  const Bytes renewal = tokenCertBag(utc(2030, 11, 1), utc(2031, 12, 31));
  EXPECT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(renewal))));
  EXPECT_EQ(withZero(current), value("EOICert"));
  EXPECT_EQ(withZero(renewal), value("EOICertNew"));
  EXPECT_EQ(1, countLabel(hsm, "EOICertNew"));
}

TEST_F(CertTokenTest, AValueStoredExactlyAsTheBagIsLeftAlone) {
  loadCa();
  const Bytes current = tokenCertBag(utc(2030, 1, 1), utc(2030, 12, 31));
  SoftHsm::DataObject written;
  written.label = "EOICert";
  written.value = current;  // as another application writes it: no zero byte
  written.application = "Issuer";
  hsm.createData(0, written);
  EXPECT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(current))));
  EXPECT_EQ(current, value("EOICert"));
  EXPECT_FALSE(has("EOICertNew"));
}

TEST_F(CertTokenTest, ANeverExpiringCertificateStaysInForce) {
  loadCa();
  const auto forever = issue(utc(2030, 1, 1), ca::FediTime::utcText("999999999999Z"));
  ASSERT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(bag({forever.get()})))));
  const Bytes renewal = tokenCertBag(utc(2030, 11, 1), utc(2031, 12, 31));
  EXPECT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(renewal))));
  EXPECT_EQ(withZero(renewal), value("EOICertNew"));

  setNow(utc(2040, 1, 1));
  TVFEDIMiniKeyCrypt page;
  EXPECT_EQ(u"20300101", page.getBeginDate());
  EXPECT_TRUE(has("EOICertNew"));
}

TEST_F(CertTokenTest, LoadMultiCertB64StoresTheHoldersCertificateOfABundle) {
  loadCa();
  const auto strangers = issue(kNow - 86400, kNow + 86400, SubjectKey(stranger()));
  const auto authoritys = issue(kNow - 86400, kNow + 86400, SubjectKey(ca::test::testCaKey()));
  const auto mine = issue(kNow - 86400, kNow + 86400);
  // The current certificate is in force, yet a bundle replaces it.
  ASSERT_EQ(+ControlCode::kOk,
            control.loadCertB64(u16(base64(tokenCertBag(utc(2030, 1, 1), utc(2030, 12, 31))))));

  // The holder's certificate is stored in a bag of its own of type 1, stamped as the bundle
  // was an hour before.
  setNow(kNow - 3600);
  const Bytes bundle = bag({strangers.get(), authoritys.get(), mine.get()});
  const Bytes expected = bag({mine.get()});
  setNow(kNow);
  EXPECT_EQ(+ControlCode::kOk, control.loadMultiCertB64(u16(base64(bundle))));
  EXPECT_EQ(withZero(expected), value("EOICert"));
  EXPECT_FALSE(has("EOICertNew"));
}

TEST_F(CertTokenTest, LoadMultiCertB64WithoutTheHoldersCertificate) {
  loadCa();
  const auto strangers = issue(kNow - 86400, kNow + 86400, SubjectKey(stranger()));
  const auto authoritys = issue(kNow - 86400, kNow + 86400, SubjectKey(ca::test::testCaKey()));
  const auto mineForeignSigned = issue(kNow - 86400, kNow + 86400, {}, stranger());
  struct Case {
    const char* what;
    std::string base64;
    std::int32_t want;
  };
  const Case cases[] = {
      {"no certificate for the token's key", base64(bag({strangers.get(), authoritys.get()})),
       +ControlCode::kKeyMismatch},
      {"an empty bundle", base64(bag({})), +ControlCode::kKeyMismatch},
      {"the holder's certificate signed by a stranger",
       base64(bag({strangers.get(), mineForeignSigned.get()})), +ControlCode::kSignatureInvalid},
      {"bytes that are no bundle", base64({0x30, 0x00}), +ControlCode::kUndecodable},
      {"text that is no Base64", "*", +ControlCode::kBase64Failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.want, control.loadMultiCertB64(u16(c.base64)));
    EXPECT_EQ(c.want, control.getErrorCode());
  }
  EXPECT_FALSE(has("EOICert"));
}

// A replacement is delete then create; when the creation fails, the deleted certificate must
// come back exactly as it was, and the failure is still reported.
TEST_F(CertTokenTest, AFailedReplacementPutsTheDeletedCertificateBack) {
  loadCa();
  const Bytes current = tokenCertBag(utc(2030, 1, 1), utc(2030, 12, 31));
  ASSERT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(current))));
  const Bytes parked = tokenCertBag(utc(2030, 11, 1), utc(2031, 12, 31));
  ASSERT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(parked))));
  const Bytes application = hsm.attribute(0, "EOICert", CKA_APPLICATION);
  const auto replacement = issue(kNow - 86400, kNow + 86400);
  const std::string replacementB64 = base64(bag({replacement.get()}));

  struct Case {
    const char* faults;
    std::int32_t want;
  };
  const Case cases[] = {
      {"C_CreateObject=0x31*1", +ControlCode::kTokenMemoryFull},
      {"C_CreateObject=0x5*1", +ControlCode::kWriteFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    setProxyFaults(c.faults);
    EXPECT_EQ(c.want, control.loadMultiCertB64(u16(replacementB64)));  // replaces "EOICert"
    setProxyFaults(c.faults);
    EXPECT_EQ(c.want, control.loadCertB64(u16(replacementB64)));  // replaces "EOICertNew"
    setProxyFaults("");
    for (const char* label : {"EOICert", "EOICertNew"}) {
      SCOPED_TRACE(label);
      EXPECT_EQ(withZero(label == std::string("EOICert") ? current : parked), value(label));
      EXPECT_EQ(application, hsm.attribute(0, label, CKA_APPLICATION));
      EXPECT_EQ(Bytes{CK_FALSE}, hsm.attribute(0, label, CKA_PRIVATE));
      EXPECT_EQ(1, countLabel(hsm, label));
    }
  }
}

TEST_F(CertTokenTest, AFailedCaReplacementPutsTheDeletedBagBack) {
  const Bytes first = caBag();
  ASSERT_EQ(+ControlCode::kOk, control.loadCACertB64(u16(base64(first))));
  setNow(kNow + 60);
  const std::string second = base64(caBag());

  setProxyFaults("C_CreateObject=0x31*1");
  EXPECT_EQ(+ControlCode::kTokenMemoryFull, control.loadCACertB64(u16(second)));
  EXPECT_EQ(withZero(first), value("EOICAert"));

  // Without a copy of the old bag nothing is deleted.
  setProxyFaults("C_GetAttributeValue=0x5*1");
  resetProxyCalls();
  EXPECT_EQ(+ControlCode::kReadFailed, control.loadCACertB64(u16(second)));
  EXPECT_EQ(0u, proxyCalls("C_DestroyObject"));
  setProxyFaults("");
  EXPECT_EQ(withZero(first), value("EOICAert"));
}

TEST_F(CertTokenTest, AnUndecodableStoredCertificateIsReplaced) {
  loadCa();
  SoftHsm::DataObject broken;
  broken.label = "EOICert";
  broken.value = {'n', 'o', 't', ' ', 'D', 'E', 'R', 0};
  hsm.createData(0, broken);
  const Bytes current = tokenCertBag(utc(2030, 1, 1), utc(2030, 12, 31));
  EXPECT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(current))));
  EXPECT_EQ(withZero(current), value("EOICert"));
  EXPECT_EQ(1, countLabel(hsm, "EOICert"));
  EXPECT_FALSE(has("EOICertNew"));
}

TEST_F(CertTokenTest, APromotionWhoseRenamingFailsKeepsTheExpiredCertificate) {
  loadCa();
  const Bytes current = tokenCertBag(utc(2030, 1, 1), utc(2030, 12, 31));
  const Bytes renewal = tokenCertBag(utc(2030, 11, 1), utc(2031, 12, 31));
  ASSERT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(current))));
  ASSERT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(renewal))));

  setNow(utc(2031, 1, 1, 12));
  TVFEDIMiniKeyCrypt page;
  setProxyFaults("C_SetAttributeValue=0x5*1");
  EXPECT_EQ(std::nullopt, page.getBeginDate());
  EXPECT_EQ(+ControlCode::kTokenFailure, page.getErrorCode());
  setProxyFaults("");
  EXPECT_EQ(withZero(current), value("EOICert"));
  EXPECT_EQ(withZero(renewal), value("EOICertNew"));
  // The next reader completes the promotion.
  EXPECT_EQ(u"20301101", page.getBeginDate());
  EXPECT_EQ(withZero(renewal), value("EOICert"));
  EXPECT_FALSE(has("EOICertNew"));
}

// A bundle stores in mode 0 and leaves a parked renewal in place; once the bundle's newer
// certificate has expired, the older renewal must not take its place.
TEST_F(CertTokenTest, ARenewalParkedBeforeABundleNeverReplacesTheBundlesCertificate) {
  loadCa();
  ASSERT_EQ(+ControlCode::kOk,
            control.loadCertB64(u16(base64(tokenCertBag(utc(2030, 1, 1), utc(2030, 12, 31))))));
  const Bytes renewal = tokenCertBag(utc(2030, 5, 1), utc(2031, 12, 31));
  ASSERT_EQ(+ControlCode::kOk, control.loadCertB64(u16(base64(renewal))));
  ASSERT_EQ(withZero(renewal), value("EOICertNew"));
  const auto newer = issue(utc(2030, 6, 1), utc(2032, 6, 1));
  ASSERT_EQ(+ControlCode::kOk, control.loadMultiCertB64(u16(base64(bag({newer.get()})))));
  EXPECT_EQ(withZero(renewal), value("EOICertNew"));

  setNow(utc(2032, 6, 2, 12));
  TVFEDIMiniKeyCrypt page;
  EXPECT_EQ(u"20300601", page.getBeginDate());
  EXPECT_EQ(+ControlCode::kOk, page.getErrorCode());
  EXPECT_FALSE(has("EOICertNew"));
  EXPECT_EQ(1, countLabel(hsm, "EOICert"));
}

// Once the current certificate has expired, a parked one takes its place only when it ends
// later, the CA signed it and it is for the token's key; any other is deleted, but one not
// valid yet waits.
TEST_F(CertTokenTest, APromotionTakesOnlyANewerCertificateForTheTokensKey) {
  loadCa();
  const auto current = issue(utc(2030, 1, 1), utc(2030, 12, 31));
  const auto strangers = issue(utc(2030, 11, 1), utc(2031, 12, 31), SubjectKey(stranger()));
  const auto selfMade = issue(utc(2030, 11, 1), utc(2031, 12, 31), {}, stranger());
  struct Case {
    const char* what;
    Bytes parked;
    const char16_t* beginDate;
    bool waits = false;
  };
  const Case cases[] = {
      {"a renewal", tokenCertBag(utc(2030, 11, 1), utc(2031, 12, 31)), u"20301101"},
      {"a certificate that ends before the current one",
       tokenCertBag(utc(2029, 3, 1), utc(2030, 6, 30)), u"20300101"},
      {"a certificate that ends with the current one",
       tokenCertBag(utc(2030, 1, 2), utc(2030, 12, 31)), u"20300101"},
      {"a renewal for another key", bag({strangers.get()}), u"20300101"},
      {"bytes that are no certificate bag", {0x30, 0x00}, u"20300101"},
      {"a renewal the CA did not sign", bag({selfMade.get()}), u"20300101"},
      // Last: the case leaves its parked certificate on the token.
      {"a renewal not valid yet", tokenCertBag(utc(2031, 6, 1), utc(2032, 12, 31)), u"20300101",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    setNow(kNow);
    // The page of the case before closed the session and unloaded the library.
    ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(proxyModule())));
    ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
    ASSERT_EQ(+ControlCode::kOk, control.loadMultiCertB64(u16(base64(bag({current.get()})))));
    SoftHsm::DataObject parked;
    parked.label = "EOICertNew";
    parked.value = withZero(c.parked);
    hsm.createData(0, parked);

    setNow(utc(2031, 1, 1, 12));
    TVFEDIMiniKeyCrypt page;
    EXPECT_EQ(c.beginDate, page.getBeginDate());
    EXPECT_EQ(+ControlCode::kOk, page.getErrorCode());
    EXPECT_EQ(c.waits, has("EOICertNew"));
    EXPECT_EQ(1, countLabel(hsm, "EOICert"));
  }
}

}  // namespace
}  // namespace kestrune::testing
