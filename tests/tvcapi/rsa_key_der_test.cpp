// RSA keys through the provider: exported as PKCS#1 and SubjectPublicKeyInfo DER that the
// openssl command reads, and imported into the library's own containers.
#include "tests/tvcapi/core_fixture.h"

#include "TVCAPI/core_internal.h"

namespace kestrune::testing::tvcapi_core {
namespace {

class RsaKeyDerTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    key_ = newRsaKey(1024);
    storeInContainer(key_.get(), "exported");
    TVCAPIHandle* cert =
        certificateHandle(selfSigned(key_.get(), "Exported", 1), "exported", MS_ENHANCED_PROV_A, 1);
    ASSERT_EQ(0, TVXCAPI_GetPrivateKey(cert, &handle_));
    TVXCAPI_FreeHandle(cert);
  }
  void TearDown() override {
    TVXCAPI_FreeHandle(handle_);
    CoreTest::TearDown();
  }
  const TVCAPIKeyRecord* record() const {
    return static_cast<const TVCAPIKeyRecord*>(handle_->data);
  }

  Ptr<EVP_PKEY> key_;
  TVCAPIHandle* handle_ = nullptr;
};

Bytes exported(std::int32_t (*exporter)(const TVCAPIKeyRecord*, uint8_t*, int32_t),
               const TVCAPIKeyRecord* record) {
  const std::int32_t size = exporter(record, nullptr, 0);
  EXPECT_GT(size, 0);
  if (size <= 0) return {};
  Bytes der(static_cast<std::size_t>(size));
  EXPECT_EQ(size, exporter(record, der.data(), size - 1));  // too small: the size only
  EXPECT_EQ(Bytes(der.size()), der);
  EXPECT_EQ(size, exporter(record, der.data(), size));
  return der;
}

TEST_F(RsaKeyDerTest, PrivateKeyAsPkcs1ThatOpensslReads) {
  const Bytes der = exported(ExportRSAPrivateKeyDER, record());
  EXPECT_EQ(privateKeyDer(key_.get()), der);
  writeFile(dir() + "/exported.der", der);
  EXPECT_TRUE(run("openssl rsa -inform DER -in " + dir() + "/exported.der -check -noout"));
  EXPECT_EQ(-1, ExportRSAPrivateKeyDER(nullptr, nullptr, 0));
}

TEST_F(RsaKeyDerTest, PublicKeyAsSubjectPublicKeyInfo) {
  const Bytes der = exported(ExportRSAPublicKeyInfoDER, record());
  writeFile(dir() + "/exported.der", der);
  writeFile(dir() + "/expected.der", publicKeyInfoDer(key_.get()));
  EXPECT_TRUE(run("openssl pkey -pubin -inform DER -in " + dir() +
                  "/exported.der -outform DER -out " + dir() + "/parsed.der"));
  EXPECT_EQ(publicKeyInfoDer(key_.get()), readFile(dir() + "/parsed.der"));
}

TEST_F(RsaKeyDerTest, ImportsIntoTheLibrarysContainers) {
  const auto other = newRsaKey(1024);
  const Bytes der = privateKeyDer(other.get());
  TVCAPIKeyRecord* imported = ImportRSAPrivateKeyDER(der.data(), static_cast<uint32_t>(der.size()));
  ASSERT_NE(nullptr, imported);
  EXPECT_EQ(static_cast<DWORD>(AT_KEYEXCHANGE), imported->keySpec);
  // The private key now lives in its container, and comes out as it went in.
  EXPECT_EQ(der, exported(ExportRSAPrivateKeyDER, imported));
  const Bytes info = publicKeyInfoDer(other.get());
  TVCAPIKeyRecord* publicKey =
      ImportRSAPublicKeyInfoDER(info.data(), static_cast<uint32_t>(info.size()));
  ASSERT_NE(nullptr, publicKey);
  writeFile(dir() + "/exported.der", exported(ExportRSAPublicKeyInfoDER, publicKey));
  EXPECT_TRUE(run("openssl pkey -pubin -inform DER -in " + dir() + "/exported.der -noout"));
  tvxCAPIReleaseKeyRecord(publicKey);
  tvxCAPIReleaseKeyRecord(imported);
  HCRYPTPROV container = 0;
  ASSERT_TRUE(CryptAcquireContextA(&container, "privatekey.rsa.tvcapi.vornix.tarvonel",
                                   MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
  HCRYPTKEY kept = 0;
  EXPECT_TRUE(CryptGetUserKey(container, AT_KEYEXCHANGE, &kept));
  CryptDestroyKey(kept);
  CryptReleaseContext(container, 0);

  EXPECT_EQ(nullptr, ImportRSAPrivateKeyDER(info.data(), static_cast<uint32_t>(info.size())));
  EXPECT_EQ(nullptr, ImportRSAPublicKeyInfoDER(der.data(), static_cast<uint32_t>(der.size())));
  EXPECT_EQ(nullptr, ImportRSAPrivateKeyDER(nullptr, 0));
  EXPECT_EQ(nullptr, ImportRSAPublicKeyInfoDER(nullptr, 0));
}

}  // namespace
}  // namespace kestrune::testing::tvcapi_core
