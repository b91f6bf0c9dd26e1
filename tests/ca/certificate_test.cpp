// Issued certificates read back with the FEDI decoder: fields as specified, signature good
// under the built-in test record's key, refusals for what must not be issued.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/objects.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "FEDIX509/builtin_ca_records.h"
#include "ca/issuing.h"
#include "decoding.h"
#include "test_authority.h"

namespace kestrune::ca::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

fedi::RecordPtr<FEDI_X509> issueAndDecode(const CertificateSpec& spec,
                                          EVP_PKEY* caKey = testCaKey()) {
  Status status = Status::failed;
  CertificatePtr issued = issueCertificate(spec, caKey, &status);
  EXPECT_EQ(Status::ok, status);
  if (!issued) return nullptr;
  return decodeWhole(d2i_FEDI_X509, toDer(*issued));
}

Bytes magnitude(const BIGNUM* n) {
  Bytes bytes(static_cast<std::size_t>(BN_num_bytes(n)));
  BN_bn2bin(n, bytes.data());
  return bytes;
}

Bytes rsaParam(EVP_PKEY* key, const char* name) {
  BIGNUM* n = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &n) != 1) return {};
  Bytes bytes = magnitude(n);
  BN_free(n);
  return bytes;
}

TEST(IssueCertificate, DecodesAndVerifiesWithTheBuiltinTestRecordKey) {
  ASSERT_NE(nullptr, testCaKey());
  ASSERT_NE(nullptr, testCaRecordKey());
  CertificatePtr issued = issueCertificate(holderSpec(), testCaKey());
  ASSERT_TRUE(issued);
  EXPECT_EQ(1, FEDI_X509_verify(issued.get(), testCaRecordKey()));

  const Bytes der = toDer(*issued);
  auto decoded = decodeWhole(d2i_FEDI_X509, der);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(1, FEDI_X509_verify(decoded.get(), testCaRecordKey()));
  EXPECT_EQ(der, toDer(*decoded));
  EXPECT_EQ(0, FEDI_X509_get_version(decoded.get()));
  EXPECT_EQ(NID_md5WithRSAEncryption, FEDI_X509_get_signature_nid(decoded.get()));
  EXPECT_EQ(0x1234567, ASN1_INTEGER_get(FEDI_X509_get_serialNumber(decoded.get())));

  EVP_PKEY* key = FEDI_X509_get_pubkey(decoded.get());
  ASSERT_NE(nullptr, key);
  EXPECT_EQ(1, EVP_PKEY_eq(key, holderKey()));
  EVP_PKEY_free(key);
}

TEST(IssueCertificate, NamesAreOrganizationThenCommonNameWithTheGivenTexts) {
  struct Case {
    const char* label;
    FediName issuer;
    FediName subject;
    int stringType;
  };
  const Case cases[] = {
      {"printable",
       {fedi::kTestCasid2, fedi::kTestCasid1},
       {"12345678", "TESTUSER01"},
       V_ASN1_PRINTABLESTRING},
      {"utf8",
       {"\xE8\x87\xBA\xE7\x81\xA3 FEDI CA", "CA\xC3\x9C", StringKind::utf8},
       {"Bank_of_Taiwan", "user@example", StringKind::utf8},
       V_ASN1_UTF8STRING},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertificateSpec spec = holderSpec();
    spec.issuer = c.issuer;
    spec.subject = c.subject;
    auto decoded = issueAndDecode(spec);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(1, FEDI_X509_verify(decoded.get(), testCaRecordKey()));
    const struct {
      X509_NAME* name;
      const FediName& want;
    } names[] = {{FEDI_X509_get_issuer_name(decoded.get()), c.issuer},
                 {FEDI_X509_get_subject_name(decoded.get()), c.subject}};
    for (const auto& n : names) {
      ASSERT_EQ(2, X509_NAME_entry_count(n.name));
      const X509_NAME_ENTRY* o = X509_NAME_get_entry(n.name, 0);
      const X509_NAME_ENTRY* cn = X509_NAME_get_entry(n.name, 1);
      EXPECT_EQ(NID_organizationName, OBJ_obj2nid(X509_NAME_ENTRY_get_object(o)));
      EXPECT_EQ(NID_commonName, OBJ_obj2nid(X509_NAME_ENTRY_get_object(cn)));
      EXPECT_EQ(n.want.organization, text(X509_NAME_ENTRY_get_data(o)));
      EXPECT_EQ(n.want.commonName, text(X509_NAME_ENTRY_get_data(cn)));
      EXPECT_EQ(c.stringType, ASN1_STRING_type(X509_NAME_ENTRY_get_data(o)));
      EXPECT_EQ(c.stringType, ASN1_STRING_type(X509_NAME_ENTRY_get_data(cn)));
      // Two RDNs, not one multi-valued RDN.
      EXPECT_EQ(1, X509_NAME_ENTRY_set(cn) - X509_NAME_ENTRY_set(o));
    }
  }
}

TEST(IssueCertificate, RefusesNamesTheirStringTypeCannotCarry) {
  struct Case {
    const char* label;
    FediName name;
  };
  const Case cases[] = {
      {"underscore in a PrintableString", {"Bank_of_Taiwan", "TESTUSER01"}},
      {"Chinese in a PrintableString", {"\xE8\x87\xBA\xE7\x81\xA3", "TESTUSER01"}},
      {"invalid UTF-8", {"12345678", "\xFF\xFE", StringKind::utf8}},
      {"empty O", {"", "TESTUSER01"}},
      {"empty CN", {"12345678", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (const bool asIssuer : {true, false}) {
      CertificateSpec spec = holderSpec();
      (asIssuer ? spec.issuer : spec.subject) = c.name;
      Status status = Status::ok;
      EXPECT_FALSE(issueCertificate(spec, testCaKey(), &status));
      EXPECT_EQ(Status::badName, status);
    }
  }
}

TEST(IssueCertificate, SerialNumbersOfAnySizeAreWrittenAsUnsignedMagnitudes) {
  struct Case {
    const char* label;
    SerialNumber serial;
    Bytes want;  // magnitude without leading zeros
  };
  const Bytes twentyBytes(20, 0xFF);
  const Case cases[] = {
      {"zero", 0, {}},
      {"one", 1, {0x01}},
      {"high bit set", 0x80, {0x80}},
      {"largest 64-bit", UINT64_MAX, Bytes(8, 0xFF)},
      {"20 bytes", SerialNumber::fromBytes(twentyBytes), twentyBytes},
      {"leading zero bytes", SerialNumber::fromBytes(Bytes{0, 0, 1, 2}), {0x01, 0x02}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertificateSpec spec = holderSpec();
    spec.serial = c.serial;
    auto decoded = issueAndDecode(spec);
    ASSERT_TRUE(decoded);
    const ASN1_INTEGER* serial = FEDI_X509_get_serialNumber(decoded.get());
    EXPECT_EQ(V_ASN1_INTEGER, ASN1_STRING_type(serial));  // not negative
    BIGNUM* number = ASN1_INTEGER_to_BN(serial, nullptr);
    ASSERT_NE(nullptr, number);
    EXPECT_EQ(c.want, magnitude(number));
    BN_free(number);
  }
}

TEST(IssueCertificate, ValidityTimesAreWrittenAsGiven) {
  struct Case {
    const char* label;
    FediTime time;
    int type;
    const char* text;
  };
  const Case cases[] = {
      {"never expires", FediTime::utcText("999999999999Z"), V_ASN1_UTCTIME, "999999999999Z"},
      {"local with offset", FediTime::utcText("961122000000+0800"), V_ASN1_UTCTIME,
       "961122000000+0800"},
      {"no seconds", FediTime::utcText("9611220000+0800"), V_ASN1_UTCTIME, "9611220000+0800"},
      {"last UTCTime second", std::time_t{2524607999}, V_ASN1_UTCTIME, "491231235959Z"},
      {"first UTCTime second", std::time_t{-631152000}, V_ASN1_UTCTIME, "500101000000Z"},
      {"2050", std::time_t{2524608000}, V_ASN1_GENERALIZEDTIME, "20500101000000Z"},
      {"1949", std::time_t{-631152001}, V_ASN1_GENERALIZEDTIME, "19491231235959Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (const bool asNotAfter : {true, false}) {
      CertificateSpec spec = holderSpec();
      (asNotAfter ? spec.notAfter : spec.notBefore) = c.time;
      auto decoded = issueAndDecode(spec);
      ASSERT_TRUE(decoded);
      const ASN1_TIME* time = asNotAfter ? FEDI_X509_get_notAfter(decoded.get())
                                         : FEDI_X509_get_notBefore(decoded.get());
      EXPECT_EQ(c.type, ASN1_STRING_type(time));
      EXPECT_EQ(c.text, text(time));
      EXPECT_EQ(1, FEDI_X509_verify(decoded.get(), testCaRecordKey()));
    }
  }
}

TEST(IssueCertificate, RefusesTimesTheDecoderWouldRefuse) {
  struct Case {
    const char* label;
    std::optional<FediTime> time;
  };
  const Case cases[] = {
      {"missing", std::nullopt},
      {"ten nines", FediTime::utcText("9999999999")},
      {"offset +1300", FediTime::utcText("961122000000+1300")},
      {"text after Z", FediTime::utcText("961122000000Z1")},
      {"empty", FediTime::utcText("")},
      {"year 10000", std::time_t{253402300800}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (const bool asNotAfter : {true, false}) {
      CertificateSpec spec = holderSpec();
      (asNotAfter ? spec.notAfter : spec.notBefore) = c.time;
      Status status = Status::ok;
      EXPECT_FALSE(issueCertificate(spec, testCaKey(), &status));
      EXPECT_EQ(Status::badTime, status);
    }
  }
}

TEST(IssueCertificate, KeyGivenAsModulusAndExponentGivesTheSameCertificate) {
  CertificateSpec spec = holderSpec();
  CertificatePtr fromKey = issueCertificate(spec, testCaKey());
  spec.subjectKey = RsaPublicParts{rsaParam(holderKey(), OSSL_PKEY_PARAM_RSA_N),
                                   rsaParam(holderKey(), OSSL_PKEY_PARAM_RSA_E)};
  CertificatePtr fromParts = issueCertificate(spec, testCaKey());
  ASSERT_TRUE(fromKey);
  ASSERT_TRUE(fromParts);
  EXPECT_EQ(toDer(*fromKey), toDer(*fromParts));  // PKCS#1 v1.5 signatures are deterministic

  // The certificate holds the holder's public half only, never the private key it was given.
  EVP_PKEY* key = FEDI_X509_get_pubkey(fromKey.get());
  ASSERT_NE(nullptr, key);
  BIGNUM* privateExponent = nullptr;
  EXPECT_NE(1, EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &privateExponent));
  BN_free(privateExponent);
  EVP_PKEY_free(key);
}

TEST(IssueCertificate, RefusesKeysThatCannotSignOrBeCertified) {
  KeyPtr ecKey(EVP_EC_gen("P-256"));
  ASSERT_TRUE(ecKey);
  const Bytes exponent{0x01, 0x00, 0x01};
  struct Case {
    const char* label;
    decltype(CertificateSpec::subjectKey) subjectKey;
    EVP_PKEY* caKey;
    Status want;
  };
  const Case cases[] = {
      {"no subject key", std::monostate{}, testCaKey(), Status::badSubjectKey},
      {"null subject key", static_cast<EVP_PKEY*>(nullptr), testCaKey(), Status::badSubjectKey},
      {"EC subject key", ecKey.get(), testCaKey(), Status::badSubjectKey},
      {"empty modulus", RsaPublicParts{{}, exponent}, testCaKey(), Status::badSubjectKey},
      {"zero exponent", RsaPublicParts{Bytes(128, 0xC5), Bytes{0}}, testCaKey(),
       Status::badSubjectKey},
      {"no CA key", holderKey(), nullptr, Status::badCaKey},
      {"public CA key only", holderKey(), testCaRecordKey(), Status::badCaKey},
      {"EC CA key", holderKey(), ecKey.get(), Status::badCaKey},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertificateSpec spec = holderSpec();
    spec.subjectKey = c.subjectKey;
    Status status = Status::ok;
    EXPECT_FALSE(issueCertificate(spec, c.caKey, &status));
    EXPECT_EQ(c.want, status);
  }
}

TEST(IssueCertificate, SignedByAnotherKeyFailsVerificationWithTheTestRecordKey) {
  KeyPtr otherCa = generateRsaKey(1024);
  ASSERT_TRUE(otherCa);
  auto decoded = issueAndDecode(holderSpec(), otherCa.get());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(0, FEDI_X509_verify(decoded.get(), testCaRecordKey()));
  EXPECT_EQ(1, FEDI_X509_verify(decoded.get(), otherCa.get()));
}

}  // namespace
}  // namespace kestrune::ca::test
