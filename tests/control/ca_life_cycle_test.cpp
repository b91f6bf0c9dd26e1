// The certificate life cycle against the real authority (fedi-ca, on 127.0.0.1): a token made by
// makeCard gets its first certificate, a renewal, a revocation, and the queries read what the
// authority issued.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "ca/authority.h"
#include "common/ptr.h"
#include "tests/control/ca_scripted_authority.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Text = std::optional<std::u16string>;

std::string narrow(const std::u16string& text) {
  return std::string(text.begin(), text.end());
}

// certificateOf returns the DER of the one certificate of a bag given in Base64; empty when the
// text is no bag of exactly one certificate.
Bytes certificateOf(const Text& base64) {
  if (!base64) return {};
  const Bytes der = decodeBase64(*base64);
  const unsigned char* position = der.data();
  const fedi::RecordPtr<FEDICERT> bag(
      d2i_FEDICERT(nullptr, &position, static_cast<long>(der.size())));
  if (!bag || FEDICERT_get_num(bag.get()) != 1) return {};
  const fedi::RecordPtr<FEDI_X509> certificate(FEDICERT_get_cert(bag.get(), 0));
  if (!certificate) return {};
  const int length = i2d_FEDI_X509(certificate.get(), nullptr);
  Bytes out(static_cast<std::size_t>(length > 0 ? length : 0));
  unsigned char* write = out.data();
  if (length <= 0 || i2d_FEDI_X509(certificate.get(), &write) != length) return {};
  return out;
}

// opensslCrlText is the text form that the openssl command gives of a DER X.509 CRL.
std::string opensslCrlText(const std::string& dir, const X509_CRL* crl) {
  const std::string path = dir + "/list.crl";
  unsigned char* der = nullptr;
  const int length = i2d_X509_CRL(crl, &der);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || length <= 0) return {};
  std::fwrite(der, 1, static_cast<std::size_t>(length), file);
  std::fclose(file);
  OPENSSL_free(der);
  std::string text;
  FILE* pipe = popen(("openssl crl -inform DER -noout -text -in " + path + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {};
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
  pclose(pipe);
  return text;
}

class CaLifeCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_EQ(ca::AuthorityResult::ok, ca::initAuthority(authorityDir, {}, &error)) << error;
    ASSERT_EQ(ca::AuthorityResult::ok, server.start(authorityDir, "127.0.0.1", 0, {}, &error))
        << error;
    url = u16(server.initiationUrl());
    std::string caBag;
    ASSERT_EQ(ca::AuthorityResult::ok, ca::authorityBagBase64(authorityDir, caBag, &error))
        << error;
    authorityBag = u16(caBag);

    control.setTestVersion(1);
    ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(proxyModule())));
    ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
    ASSERT_EQ(+ControlCode::kOk, control.loadCACertB64(authorityBag));
    makeHolder("TESTUSER01", "12345678");
  }

  // makeHolder personalises the token for a holder the authority has enrolled.
  void makeHolder(const std::string& sid1, const std::string& sid2) {
    ASSERT_EQ(+ControlCode::kOk, control.makeCard(u16(sid1), u16(sid2)));
    std::string error;
    ASSERT_EQ(ca::AuthorityResult::ok, ca::enrolHolder(authorityDir, sid1, sid2, pass, &error))
        << error;
  }
  // issue gets the token its first certificate and returns its serial number.
  std::u16string issue() {
    EXPECT_EQ(+ControlCode::kOk, control.newCertificate(url, u16(pass)));
    return control.getCSN().value_or(u"");
  }

  SoftHsm hsm;
  const std::string authorityDir = hsm.dir() + "/authority";
  ca::AuthorityServer server;
  TVFEDIMiniKeyCrypt control;
  std::u16string url;
  std::u16string authorityBag;
  std::string pass;
  const std::u16string casid1{kCasid1};
  const std::u16string casid2{kCasid2};
};

TEST_F(CaLifeCycle, NewCertificateIsIssuedForTheTokensKeyAndStored) {
  ASSERT_FALSE(control.getCertB64());
  // A request MACed under another pass phrase is refused by the authority.
  const std::int32_t refused = control.newCertificate(url, u"not the pass phrase");
  EXPECT_GT(refused, +ControlCode::kUnexpectedAnswer);
  EXPECT_LT(refused, +ControlCode::kCaExchange11);
  EXPECT_FALSE(control.getCertB64());

  EXPECT_EQ(+ControlCode::kOk, control.newCertificate(url, u16(pass)));
  const Bytes issued = certificateOf(control.getCertB64());
  ASSERT_FALSE(issued.empty());
  EXPECT_EQ(casid1, control.getCASID1());
  EXPECT_EQ(casid2, control.getCASID2());
  // The issued certificate is the one the authority keeps under its serial number.
  const std::u16string csn = control.getCSN().value_or(u"");
  ASSERT_FALSE(csn.empty());
  EXPECT_EQ(issued, certificateOf(control.queryB64Certificate(url, casid1, casid2, csn)));
}

TEST_F(CaLifeCycle, RenewalWaitsBesideTheCurrentCertificate) {
  issue();
  const Text current = control.getCertB64();
  ASSERT_TRUE(current);
  EXPECT_FALSE(control.getNewCertB64());

  EXPECT_EQ(+ControlCode::kOk, control.extendCertificate(url));
  EXPECT_EQ(current, control.getCertB64());
  const Bytes renewal = certificateOf(control.getNewCertB64());
  ASSERT_FALSE(renewal.empty());
  EXPECT_NE(certificateOf(current), renewal);
}

TEST_F(CaLifeCycle, CertificateQueriesWithoutTokenOrPin) {
  const std::u16string csn = issue();
  const Bytes issued = certificateOf(control.getCertB64());
  ASSERT_FALSE(issued.empty());
  control.close();

  resetProxyCalls();
  TVFEDIMiniKeyCrypt other;
  EXPECT_EQ(issued, certificateOf(other.queryB64Certificate(url, casid1, casid2, csn)));
  EXPECT_EQ(+ControlCode::kOk, other.getErrorCode());
  EXPECT_EQ(issued, certificateOf(other.queryMultipleCertificate(url, casid1, casid2, u"TESTUSER01",
                                                                 u"12345678", u"")));
  EXPECT_EQ(0u, proxyCalls());
}

TEST_F(CaLifeCycle, QueriedCertificateOfAnotherKeyPairIsNotStored) {
  const std::u16string firstCsn = issue();
  // The token becomes another holder with a new key pair and gets that holder's certificate.
  makeHolder("TESTUSER02", "12345678");
  issue();
  const Bytes stored = hsm.attribute(0, "EOICert", CKA_VALUE);
  ASSERT_FALSE(stored.empty());

  EXPECT_EQ(+ControlCode::kKeyMismatch, control.queryCertificate(url, casid1, casid2, firstCsn));
  EXPECT_EQ(stored, hsm.attribute(0, "EOICert", CKA_VALUE));
}

TEST_F(CaLifeCycle, RevokedSerialIsListed) {
  const std::u16string csn = issue();
  ASSERT_FALSE(csn.empty());
  // The serial number in upper-case hexadecimal, as the openssl command prints it.
  const std::string csnText = narrow(csn);
  Ptr<BIGNUM> serial(nullptr);
  BIGNUM* parsed = nullptr;
  ASSERT_GT(BN_dec2bn(&parsed, csnText.c_str()), 0);
  serial.reset(parsed);
  char* hex = BN_bn2hex(serial.get());
  const std::string serialHex = hex;
  OPENSSL_free(hex);

  const auto listed = [&](const Text& text) -> std::string {
    if (!text) return "(no text)";
    const Bytes der = decodeBase64(*text);
    const unsigned char* position = der.data();
    const fedi::CrlPtr crl(d2i_FEDICRL(nullptr, &position, static_cast<long>(der.size())));
    if (!crl || position != der.data() + der.size()) return "(no revocation list)";
    return opensslCrlText(hsm.dir(), crl->crl);
  };
  const std::string before = listed(control.queryCRL(url, casid1, casid2));
  EXPECT_NE(std::string::npos, before.find("Certificate Revocation List")) << before;
  EXPECT_EQ(std::string::npos, before.find("Serial Number: " + serialHex)) << before;

  EXPECT_EQ(+ControlCode::kOk, control.revokeCertificate(url, u"key compromised"));
  const std::string after = listed(control.queryCRL(url, casid1, casid2));
  EXPECT_NE(std::string::npos, after.find("Serial Number: " + serialHex)) << after;
}

TEST_F(CaLifeCycle, AuthorityKeyIsTheAuthoritysBag) {
  const Text bag = control.queryCaPublicKey(url, casid1, casid2);
  ASSERT_TRUE(bag);
  EXPECT_EQ(certificateOf(authorityBag), certificateOf(bag));
  EXPECT_FALSE(certificateOf(bag).empty());
}

}  // namespace
}  // namespace kestrune::testing
