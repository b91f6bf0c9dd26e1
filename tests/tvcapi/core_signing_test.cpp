// TVCAPI's store loaders, certificate getters and signing, on the software provider with a
// certificate in the user's My store that names its key container.
#include <gtest/gtest.h>

// First: it includes OpenSSL before the CryptoAPI declarations.
#include "cert_maker.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "TVCAPI/tvcapi.h"
#include "TVCAPI/tvcapi_internal.h"
#include "provider_test_env.h"

namespace {

using kestrune::test::kEncoding;

constexpr char kProvider[] = "Microsoft Enhanced Cryptographic Provider v1.0";

class CoreSigning : public kestrune::testing::ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    setenv("TMPDIR", dir().c_str(), 1);
    provider_ = newContainer("signer", AT_SIGNATURE, 1024);
    ASSERT_NE(provider_, 0u);
    kestrune::test::CertSpec spec;
    spec.subject = {{"2.5.4.3", V_ASN1_UTF8STRING, "Signer"},
                    {"2.5.4.10", V_ASN1_UTF8STRING, "ORG01"}};
    spec.serial = 0x010A;
    const auto der = kestrune::test::makeCert(spec);
    HCERTSTORE my =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"My");
    ASSERT_NE(my, nullptr);
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(my, kEncoding, der.data(),
                                                 static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &added));
    std::wstring container = L"signer";
    std::wstring provider = L"Microsoft Enhanced Cryptographic Provider v1.0";
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.pwszProvName = provider.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertFreeCertificateContext(added);
    CertCloseStore(my, 0);
  }
  void TearDown() override {
    if (provider_ != 0) CryptReleaseContext(provider_, 0);
    unsetenv("TMPDIR");
    ProviderTest::TearDown();
  }
  HCRYPTPROV provider_ = 0;
};

TEST_F(CoreSigning, FindsTheCertificateItsProviderAndSignsBigEndian) {
  TVCAPIHandle* cert = nullptr;
  ASSERT_EQ(TVXCAPI_GetCertificateFromStores("CN=Signer", "", 0, 0, &cert), TVCAPI_OK);
  char* subject = nullptr;
  ASSERT_EQ(TVXCAPI_CertGetSubject(cert, 0, &subject), TVCAPI_OK);
  EXPECT_STREQ(subject, "CN=Signer\r\nO=ORG01");
  TVXCAPI_Free(subject);
  std::uint8_t small[1];
  TVCAPI_BLOB serial{1, small};
  EXPECT_EQ(TVXCAPI_CertGetSerialNumber(cert, 0, &serial), TVCAPI_BUFFER_TOO_SMALL);
  EXPECT_EQ(serial.count, 1u);
  serial = {};
  ASSERT_EQ(TVXCAPI_CertGetSerialNumber(cert, 0, &serial), TVCAPI_OK);
  ASSERT_EQ(serial.count, 2u);
  EXPECT_EQ(serial.data[0], 0x01);
  EXPECT_EQ(serial.data[1], 0x0A);
  TVXCAPI_FreeBlob(&serial);
  char* provider = nullptr;
  char* container = nullptr;
  ASSERT_EQ(TVXCAPI_CertGetProviderName(cert, &provider, &container), TVCAPI_OK);
  EXPECT_STREQ(provider, kProvider);
  EXPECT_STREQ(container, "signer");
  TVXCAPI_Free(provider);
  TVXCAPI_Free(container);

  ASSERT_EQ(TVXCAPI_AcquireCSP(kProvider), TVCAPI_OK);
  TVCAPIHandle* key = nullptr;
  ASSERT_EQ(TVXCAPI_GetPrivateKey(cert, &key), TVCAPI_OK);
  EXPECT_EQ(TVXCAPI_KeySize(key), 128);
  EXPECT_EQ(TVXCAPI_KeySize(nullptr), -1);
  // The software provider takes no PIN.
  EXPECT_EQ(TVXCAPI_SetPrivateKeyPin(key, "1234", 0), TVCAPI_FAILED);

  const std::string data = "USH+...+UST";
  TVCAPI_BLOB signature{};
  ASSERT_EQ(TVXCAPI_PureSign(key, reinterpret_cast<const std::uint8_t*>(data.data()),
                             static_cast<uint32_t>(data.size()), TVCAPI_HASH_DATA | 2, &signature),
            TVCAPI_OK);
  ASSERT_EQ(signature.count, 128u);
  std::uint8_t buffer[64];
  TVCAPI_BLOB tooSmall{sizeof buffer, buffer};
  EXPECT_EQ(TVXCAPI_PureSign(key, reinterpret_cast<const std::uint8_t*>(data.data()),
                             static_cast<uint32_t>(data.size()), TVCAPI_HASH_DATA, &tooSmall),
            TVCAPI_BUFFER_TOO_SMALL);
  EXPECT_EQ(tooSmall.count, 128u);
  const std::uint8_t hash16[16] = {};
  TVCAPI_BLOB unused{};
  EXPECT_EQ(TVXCAPI_PureSign(key, hash16, sizeof hash16, 0, &unused), TVCAPI_BAD_ARGUMENT);
  EXPECT_EQ(TVXCAPI_PureSign(key, hash16, sizeof hash16, 3 | TVCAPI_HASH_DATA, &unused),
            TVCAPI_BAD_ARGUMENT);

  // The signature, most significant byte first, verifies with the key pair's public half,
  // and fails once a byte changes.
  TVCAPIKeyRecord pair = *static_cast<TVCAPIKeyRecord*>(key->data);
  TVCAPIHandle publicKey{};
  publicKey.type = TVCAPI_PUBLIC_KEY;
  publicKey.data = &pair;
  EXPECT_EQ(TVXCAPI_PureVerify(&publicKey, signature.data, signature.count,
                               reinterpret_cast<const std::uint8_t*>(data.data()),
                               static_cast<uint32_t>(data.size()), TVCAPI_HASH_DATA),
            TVCAPI_OK);
  signature.data[5] ^= 1;
  EXPECT_EQ(TVXCAPI_PureVerify(&publicKey, signature.data, signature.count,
                               reinterpret_cast<const std::uint8_t*>(data.data()),
                               static_cast<uint32_t>(data.size()), TVCAPI_HASH_DATA),
            TVCAPI_BAD_SIGNATURE);
  TVXCAPI_FreeBlob(&signature);
  TVXCAPI_FreeHandle(key);
  TVXCAPI_FreeHandle(cert);
  TVXCAPI_ReleaseCSP(0);
}

TEST_F(CoreSigning, StoreLoadersRefuseBadSourcesAndSkipAMissingStoreFile) {
  TVCAPIHandle* store = nullptr;
  EXPECT_EQ(TVXCAPI_LoadStore(&store, 0, 0), TVCAPI_BAD_ARGUMENT);
  // Ten sources would not fit the list's nine slots.
  EXPECT_EQ(TVXCAPI_LoadStore(&store, 0x3FF, 0), TVCAPI_BAD_ARGUMENT);
  EXPECT_EQ(TVXCAPI_LoadStore(nullptr, 0x400, 0), TVCAPI_BAD_ARGUMENT);
  ASSERT_EQ(TVXCAPI_LoadStore(&store, 0x400 | 0x400000, 0), TVCAPI_OK);
  EXPECT_EQ(static_cast<StoreList*>(store->data)->count, 1u);  // no tvys.st: skipped
  TVXCAPI_FreeHandle(store);
  EXPECT_EQ(TVXCAPI_LoadStoreFromStoreFile(&store), TVCAPI_NOT_FOUND);
}

}  // namespace
