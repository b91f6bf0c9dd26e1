// Certificate bags as the authority delivers them, read back with the FEDI decoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ca/issuing.h"
#include "decoding.h"
#include "platform/platform.h"
#include "test_authority.h"

namespace kestrune::ca::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<CertificatePtr> issueCertificates(int count) {
  std::vector<CertificatePtr> certificates;
  for (int i = 1; i <= count; ++i) {
    CertificateSpec spec = holderSpec();
    spec.serial = static_cast<std::uint64_t>(i);
    certificates.push_back(issueCertificate(spec, testCaKey()));
    EXPECT_TRUE(certificates.back());
  }
  return certificates;
}

std::vector<FEDI_X509*> pointers(const std::vector<CertificatePtr>& certificates) {
  std::vector<FEDI_X509*> raw;
  for (const auto& c : certificates) raw.push_back(c.get());
  return raw;
}

TEST(MakeBag, RoundTripsByteExact) {
  struct Case {
    const char* label;
    int certificates;
    long type;
    FediTime time;
    int timeType;
    const char* timeText;
  };
  const Case cases[] = {
      {"empty", 0, kCertificateBagType, FediTime::utcText("961122000000+0800"), V_ASN1_UTCTIME,
       "961122000000+0800"},
      {"three", 3, kCertificateBagType, FediTime::utcText("961122000000+0800"), V_ASN1_UTCTIME,
       "961122000000+0800"},
      {"three, type 7, 2061", 3, 7, std::time_t{2871763200}, V_ASN1_GENERALIZEDTIME,
       "20610101000000Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::vector<CertificatePtr> issued = issueCertificates(c.certificates);
    Status status = Status::failed;
    BagPtr bag = makeBag(pointers(issued), c.type, c.time, &status);
    ASSERT_TRUE(bag);
    EXPECT_EQ(Status::ok, status);

    const Bytes der = toDer(*bag);
    auto decoded = decodeWhole(d2i_FEDICERT, der);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(der, toDer(*decoded));

    EXPECT_EQ(V_ASN1_PRINTABLESTRING, ASN1_STRING_type(decoded->typeTag));
    EXPECT_EQ("CeRtIfIc", text(decoded->typeTag));
    EXPECT_EQ(0, ASN1_INTEGER_get(decoded->version));
    EXPECT_EQ(c.type, ASN1_INTEGER_get(decoded->type));
    EXPECT_EQ(c.certificates, ASN1_INTEGER_get(decoded->count));
    EXPECT_EQ(c.timeType, ASN1_STRING_type(decoded->time));
    EXPECT_EQ(c.timeText, text(decoded->time));
    ASSERT_EQ(c.certificates, FEDICERT_get_num(decoded.get()));
    for (int i = 0; i < c.certificates; ++i) {
      CertificatePtr certificate(FEDICERT_get_cert(decoded.get(), i));
      ASSERT_TRUE(certificate);
      EXPECT_EQ(toDer(*issued[static_cast<std::size_t>(i)]), toDer(*certificate));
      EXPECT_EQ(1, FEDI_X509_verify(certificate.get(), testCaRecordKey()));
    }
    EXPECT_EQ(nullptr, FEDICERT_get_cert(decoded.get(), c.certificates));
  }
}

TEST(MakeBag, HoldsReferencesOfItsOwn) {
  std::vector<CertificatePtr> issued = issueCertificates(1);
  const Bytes certificateDer = toDer(*issued[0]);
  BagPtr bag = makeBag(pointers(issued));
  ASSERT_TRUE(bag);
  EXPECT_EQ(2, issued[0]->references);
  issued.clear();  // the caller's reference goes; the bag's stays

  CertificatePtr certificate(FEDICERT_get_cert(bag.get(), 0));
  ASSERT_TRUE(certificate);
  EXPECT_EQ(certificateDer, toDer(*certificate));
}

TEST(MakeBag, DefaultsToTypeOneAndThePlatformClock) {
  const platform::Clock previous = platform::setClock([] { return std::int64_t{848592000}; });
  BagPtr bag = makeBag({});
  platform::setClock(previous);
  ASSERT_TRUE(bag);
  EXPECT_EQ(1, ASN1_INTEGER_get(bag->type));
  EXPECT_EQ("961121160000Z", text(bag->time));
}

TEST(MakeBag, RefusesANullCertificateAndABadTime) {
  Status status = Status::ok;
  FEDI_X509* const none[] = {nullptr};
  EXPECT_FALSE(makeBag(none, kCertificateBagType, std::time_t{0}, &status));
  EXPECT_EQ(Status::failed, status);
  EXPECT_FALSE(makeBag({}, kCertificateBagType, FediTime::utcText("9611"), &status));
  EXPECT_EQ(Status::badTime, status);
}

}  // namespace
}  // namespace kestrune::ca::test
