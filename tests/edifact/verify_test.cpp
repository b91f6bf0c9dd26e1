// Verifying signed EDIFACT messages: what the envelope signs verifies against the signer's
// FEDI certificate, and each kind of damage is named.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "ca/issuing.h"
#include "common/ptr.h"
#include "edifact/edifact.h"

namespace kestrune::edifact {
namespace {

constexpr std::string_view kInvoice = "UNH+1+INVOIC:D:96A:UN'BGM+380+1'UNT+3+1'";

// A signer holding its key in software, with its FEDI certificate in a bag.
struct Signer {
  ca::KeyPtr key = ca::generateRsaKey(512);
  ca::BagPtr bag;

  Signer() {
    const ca::KeyPtr authority = ca::generateRsaKey(1024);
    ca::CertificateSpec spec;
    spec.serial = 1234567890;
    spec.issuer = {"FEDI Test CA", "TESTCA1"};
    spec.subject = {"ORG01", "U001"};
    spec.notBefore = ca::FediTime::utcText("240101000000Z");
    spec.notAfter = ca::FediTime::utcText("999999999999Z");
    spec.subjectKey = key.get();
    ca::CertificatePtr certificate = ca::issueCertificate(spec, authority.get());
    if (certificate) {
      FEDI_X509* const certificates[] = {certificate.get()};
      bag = ca::makeBag(certificates);
    }
  }

  // sign returns the message signed with this key: MD5 (key type 0) or SHA-1 (key type 3).
  std::string sign(std::string_view message, std::int32_t keyType = 0) const {
    EnvelopeSigning how;
    how.keyType = keyType;
    how.signedAt = {2024, 1, 2, 3, 4, 5};
    how.readIdentity = [](SignerIdentity& identity) {
      identity = {"1234567890", "U001", "ORG01"};
      return kOk;
    };
    how.sign = [&](std::string_view data, std::string& hex) {
      const Ptr<EVP_MD_CTX> context(EVP_MD_CTX_new());
      const EVP_MD* md = keyType == kSha1KeyType ? EVP_sha1() : EVP_md5();
      unsigned char signature[512];
      std::size_t length = sizeof signature;
      if (!context || EVP_DigestSignInit(context.get(), nullptr, md, nullptr, key.get()) != 1 ||
          EVP_DigestSign(context.get(), signature, &length,
                         reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
        return kNoSignature;
      }
      hex.clear();
      for (std::size_t i = 0; i < length; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", signature[i]);
        hex += digits;
      }
      return kOk;
    };
    std::string out;
    EXPECT_EQ(kOk, signEdifactMessage(message, how, out));
    return out;
  }
};

const Signer& signer() {
  static const Signer s;
  return s;
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(std::string::npos, at) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// withoutSegment drops the segment that starts with tag.
std::string withoutSegment(std::string text, std::string_view tag) {
  const std::size_t at = text.find(tag);
  EXPECT_NE(std::string::npos, at) << tag;
  if (at != std::string::npos) text.erase(at, text.find('\'', at) + 1 - at);
  return text;
}

TEST(EdifactVerify, AcceptsWhatTheEnvelopeSigns) {
  ASSERT_NE(nullptr, signer().bag);
  for (const std::int32_t keyType : {0, 3}) {
    SCOPED_TRACE(keyType);
    const std::string message = signer().sign(kInvoice, keyType);
    const char* algorithm = keyType == 3 ? "SHA-1" : "MD5";

    VerifyReport report;
    EXPECT_EQ(VerifyStatus::ok, verifyEdifactMessage(message, signer().bag.get(), report))
        << report.message;
    EXPECT_EQ(algorithm, report.algorithm);
    EXPECT_EQ("1234567890", report.signer);
    EXPECT_EQ(9, report.segments);
    EXPECT_EQ(message.find("UST+") - message.find("USH+"), report.signedBytes);
    EXPECT_EQ(std::string(algorithm) + " signature of " + std::to_string(report.signedBytes) +
                  " bytes by 1234567890 verified; 9 segments",
              report.message);

    const fedi::RecordPtr<FEDI_X509> certificate(FEDICERT_get_cert(signer().bag.get(), 0));
    EXPECT_EQ(VerifyStatus::ok, verifyEdifactMessage(message, certificate.get(), report));
    EXPECT_EQ(VerifyStatus::ok, verifyEdifactMessage(message, signer().key.get(), report));
  }
}

TEST(EdifactVerify, NamesWhatIsWrong) {
  const std::string good = signer().sign(kInvoice);
  const std::string usr = good.substr(good.find("USR+"), good.find("'UNT+") - good.find("USR+"));
  struct Case {
    const char* what;
    std::string message;
    VerifyStatus want;
    const char* says;  // a part of the report's message
  };
  const Case cases[] = {
      {"a changed body byte", replaced(good, "BGM+380+1", "BGM+381+1"), VerifyStatus::badSignature,
       "MD5 signature does not match the 111 signed bytes"},
      {"a changed signing time", replaced(good, "030405", "030406"), VerifyStatus::badSignature,
       "does not match"},
      {"a wrong UNT count", replaced(good, "UNT+9+1", "UNT+8+1"), VerifyStatus::wrongCount,
       "UNT counts 8 segments, the message has 9"},
      {"a count that isn't a number", replaced(good, "UNT+9+1", "UNT+9x+1"),
       VerifyStatus::malformedCount, "\"9x\" is not a decimal number"},
      {"no USR", withoutSegment(good, "USR+"), VerifyStatus::noSignature,
       "no USR segment between UST and UNT"},
      {"an empty USR", replaced(good, usr, "USR+ "), VerifyStatus::noSignature,
       "holds no signature"},
      {"a USR that isn't hexadecimal", replaced(good, usr, "USR+XYZ0"),
       VerifyStatus::malformedSignature, "not an even number of hexadecimal digits"},
      {"a short signature", replaced(good, usr, "USR+ABCD"), VerifyStatus::malformedSignature,
       "the signature has 2 bytes, the signer's key a modulus of 64"},
      {"an unknown hash", replaced(good, "USA+1:::6:1", "USA+1:::7:1"),
       VerifyStatus::unknownAlgorithm, "names neither MD5"},
      {"no UNH", replaced(good, "UNH+", "UNX+"), VerifyStatus::noMessageHeader, "no UNH"},
      {"no USH", replaced(good, "USH+", "USX+"), VerifyStatus::noSecurityHeader, "no USH"},
      {"no UST", replaced(good, "UST+", "USX+"), VerifyStatus::noSecurityTrailer, "no UST"},
      {"no UNT", replaced(good, "UNT+", "UNX+"), VerifyStatus::noMessageTrailer, "no UNT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VerifyReport report;
    EXPECT_EQ(c.want, verifyEdifactMessage(c.message, signer().bag.get(), report));
    EXPECT_EQ(c.want, report.status);
    EXPECT_NE(std::string::npos, report.message.find(c.says)) << report.message;
  }
}

TEST(EdifactVerify, AnotherKeysSignatureIsRejected) {
  const Signer stranger;
  const std::string message = stranger.sign(kInvoice);
  VerifyReport report;
  EXPECT_EQ(VerifyStatus::badSignature, verifyEdifactMessage(message, signer().bag.get(), report));
  EXPECT_NE(std::string::npos, report.message.find("does not match")) << report.message;
  EXPECT_EQ(VerifyStatus::ok, verifyEdifactMessage(message, stranger.bag.get(), report));
}

TEST(EdifactVerify, WithoutAKeyNothingVerifies) {
  const std::string message = signer().sign(kInvoice);
  const ca::BagPtr empty = ca::makeBag({});
  ASSERT_NE(nullptr, empty);
  VerifyReport report;
  EXPECT_EQ(VerifyStatus::noSignerKey, verifyEdifactMessage(message, empty.get(), report));
  EXPECT_EQ("the certificate bag holds no certificate", report.message);
  EXPECT_EQ(VerifyStatus::noSignerKey,
            verifyEdifactMessage(message, static_cast<FEDICERT*>(nullptr), report));
  EXPECT_EQ(VerifyStatus::noSignerKey,
            verifyEdifactMessage(message, static_cast<EVP_PKEY*>(nullptr), report));
}

}  // namespace
}  // namespace kestrune::edifact
