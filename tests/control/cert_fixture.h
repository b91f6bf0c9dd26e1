// A token for the certificate tests: a SoftHSM2 token with the Linkway key pair, the control
// logged in through the fault proxy with the test CA record selected, and certificates
// issued by the test authority (or by a stranger) for the token's key or for other keys.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "ca/issuing.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {

using Bytes = std::vector<std::uint8_t>;

// utc returns the time of a UTC date and time.
std::time_t utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
// base64 is OpenSSL's Base64 of bytes, in one line.
std::string base64(const Bytes& bytes);
// withZero is bytes followed by the zero byte that the token layer stores after a value.
Bytes withZero(Bytes bytes);
// writeFile writes bytes to path (the test fails when it can't).
void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);

class CertTokenTest : public ::testing::Test {
 protected:
  using SubjectKey = decltype(ca::CertificateSpec::subjectKey);

  // The moment the clock shows unless a test moves it.
  static constexpr std::time_t kNow = 1906545600;  // 2030-06-01 12:00:00 UTC

  void SetUp() override;
  void TearDown() override;

  // setNow moves the control's clock.
  void setNow(std::time_t now);

  // issue returns a certificate for the subject key (the token's key by default) valid from
  // notBefore to notAfter, signed by signer (the test authority by default).
  ca::CertificatePtr issue(const ca::FediTime& notBefore, const ca::FediTime& notAfter,
                           SubjectKey subjectKey = {}, EVP_PKEY* signer = nullptr);
  // bag returns the DER of a bag holding the certificates in order.
  Bytes bag(std::vector<FEDI_X509*> certificates);
  // tokenCertBag is the DER of a bag with one certificate for the token's key.
  Bytes tokenCertBag(std::time_t notBefore, std::time_t notAfter);
  // caBag is the DER of the test authority's own certificate bag.
  Bytes caBag();
  // loadCa stores caBag on the token through loadCACertB64.
  void loadCa();

  // value is CKA_VALUE of the object with that label (empty when absent); has tells whether
  // the token holds the label.
  Bytes value(std::string_view label);
  bool has(std::string_view label);

  const ca::RsaPublicParts& tokenKey() const { return tokenKey_; }
  // stranger returns an RSA key made once per process that is neither the CA's nor the
  // token's.
  static EVP_PKEY* stranger();

  SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;

 private:
  ca::RsaPublicParts tokenKey_;
  std::uint64_t serial_ = 1000;
  std::time_t now_ = kNow;
};

}  // namespace kestrune::testing
