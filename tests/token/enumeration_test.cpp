// Enumerating objects by kind and what each record carries.
#include <algorithm>

#include "tests/token/token_test.h"

namespace kestrune::token::test {
namespace {

using kestrune::testing::softHsmModule;

using EnumerationTest = TokenTest;

TEST_F(EnumerationTest, NoCertificateIs109) {
  hsm_.createData(0, {.label = "EOISID1", .value = bytesOf("U001")});
  open(softHsmModule());
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  std::vector<TokenObjectRecord> records(1);
  EXPECT_EQ(+TokenCode::kNotFound, p11_ListObjects(&session_, kKindCertificate, records));
  EXPECT_EQ(1u, records.size());  // untouched
}

TEST_F(EnumerationTest, CertificatesCarryTheirFields) {
  const Certificate certificate = selfSignedCertificate("Holder");
  hsm_.createCertificate(0, "ZRML certificate", certificate.der);
  hsm_.createData(0, {.label = "EOISID1", .value = bytesOf("U001")});
  open(softHsmModule());
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  std::vector<TokenObjectRecord> records;
  ASSERT_EQ(+TokenCode::kTokenOk, p11_ListObjects(&session_, kKindCertificate, records));
  ASSERT_EQ(1u, records.size());
  const TokenObjectRecord& record = records[0];
  EXPECT_EQ("ZRML certificate", record.label);
  EXPECT_EQ(kKindCertificate, record.kind);
  EXPECT_EQ(certificate.subject, record.subject);
  EXPECT_EQ(certificate.issuer, record.issuer);
  EXPECT_EQ(certificate.serialNumber, record.serialNumber);
  EXPECT_EQ(certificate.der, record.value);
  EXPECT_TRUE(record.id.empty());
}

TEST_F(EnumerationTest, KindsSelectAndLabelTheirObjects) {
  hsm_.createData(0, {.label = "EOISID1", .value = bytesOf("U001")});
  hsm_.createData(0, {.label = "EOISID2", .value = bytesOf("ORG"), .labelWithZero = true});
  hsm_.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
  createSecretKey(hsm_, "des", CKK_DES, desKey());
  createSecretKey(hsm_, "des3", CKK_DES3, des3Key());
  open(softHsmModule());

  struct Case {
    std::uint32_t privateObjects;
    std::uint32_t kind;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      {0, kKindData, {"EOISID1", "EOISID2"}},
      {0, kKindPublicKey, {"FEDICA.pubkey"}},
      {1, kKindPrivateKey, {"FEDICA.prikey"}},
      {1, kKindDesKey, {"des"}},
      {1, kKindDes3Key, {"des3"}},
      {1, 0, {"FEDICA.prikey", "des", "des3"}},  // any other kind: every object of that privacy
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(c.privateObjects));
    std::vector<TokenObjectRecord> records;
    ASSERT_EQ(+TokenCode::kTokenOk, p11_ListObjects(&session_, c.kind, records));
    std::vector<std::string> labels;
    for (const auto& record : records) {
      labels.push_back(record.label);
      if (c.kind != 0) {
        EXPECT_EQ(c.kind, record.kind);
      }
    }
    std::sort(labels.begin(), labels.end());
    EXPECT_EQ(c.labels, labels);
  }

  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  std::vector<TokenObjectRecord> data;
  ASSERT_EQ(+TokenCode::kTokenOk, p11_ListObjects(&session_, kKindData, data));
  for (const auto& record : data) {
    SCOPED_TRACE(record.label);
    EXPECT_EQ(record.label == "EOISID1" ? bytesOf("U001") : bytesOf("ORG"), record.value);
  }
}

}  // namespace
}  // namespace kestrune::token::test
