// Key blobs: the exact PUBLICKEYBLOB / PRIVATEKEYBLOB layouts against OpenSSL's own view of
// the key, import into a container, and malformed blobs.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>

#include "common/ptr.h"
#include "tests/cryptoapi/provider_test_env.h"

namespace kestrune::testing {
namespace {

using KeyBlobs = ProviderTest;

Ptr<EVP_PKEY> readPem(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return nullptr;
  Ptr<EVP_PKEY> key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
  std::fclose(file);
  return key;
}

Bytes littleEndian(const EVP_PKEY* pkey, const char* name, std::size_t size) {
  BIGNUM* value = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(pkey, name, &value), 1) << name;
  Bytes out(size);
  BN_bn2lebinpad(value, out.data(), static_cast<int>(size));
  BN_free(value);
  return out;
}

Bytes exportBlob(HCRYPTKEY key, BYTE type) {
  DWORD length = 0;
  EXPECT_TRUE(CryptExportKey(key, 0, type, 0, nullptr, &length));
  Bytes blob(length);
  EXPECT_TRUE(CryptExportKey(key, 0, type, 0, blob.data(), &length));
  return blob;
}

TEST_F(KeyBlobs, ExportMatchesOpensslsComponents) {
  HCRYPTPROV prov = newContainer("blobs", AT_KEYEXCHANGE, 1024, CRYPT_EXPORTABLE);
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
  auto pkey = readPem(keyFolder() + "/blobs.pem");
  ASSERT_TRUE(pkey);
  const std::size_t n = 128;
  Bytes header = {PRIVATEKEYBLOB, 2,    0, 0, 0x00, 0xA4, 0,    0,   'R', 'S', 'A', '2',
                  0x00,           0x04, 0, 0, 0x01, 0x00, 0x01, 0x00};
  Bytes expected = header;
  for (auto [name, size] : {std::pair{OSSL_PKEY_PARAM_RSA_N, n},
                            {OSSL_PKEY_PARAM_RSA_FACTOR1, n / 2},
                            {OSSL_PKEY_PARAM_RSA_FACTOR2, n / 2},
                            {OSSL_PKEY_PARAM_RSA_EXPONENT1, n / 2},
                            {OSSL_PKEY_PARAM_RSA_EXPONENT2, n / 2},
                            {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, n / 2},
                            {OSSL_PKEY_PARAM_RSA_D, n}}) {
    Bytes part = littleEndian(pkey.get(), name, size);
    expected.insert(expected.end(), part.begin(), part.end());
  }
  Bytes privateBlob = exportBlob(key, PRIVATEKEYBLOB);
  EXPECT_EQ(privateBlob, expected);
  Bytes publicBlob = exportBlob(key, PUBLICKEYBLOB);
  Bytes expectedPublic(expected.begin(), expected.begin() + 20 + n);
  expectedPublic[0] = PUBLICKEYBLOB;
  expectedPublic[11] = '1';
  EXPECT_EQ(publicBlob, expectedPublic);
  DWORD small = 100;
  EXPECT_FAILS_WITH(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, privateBlob.data(), &small),
                    ERROR_MORE_DATA);
  EXPECT_EQ(small, privateBlob.size());

  // Imported into another container the private key becomes its key and signs; the public
  // blob imports as a key that verifies.
  HCRYPTPROV target = newContainer("imported");
  HCRYPTKEY imported = 0;
  ASSERT_TRUE(CryptImportKey(target, privateBlob.data(), static_cast<DWORD>(privateBlob.size()), 0,
                             0, &imported));
  EXPECT_FAILS_WITH(CryptExportKey(imported, 0, PRIVATEKEYBLOB, 0, nullptr, &small), 0x8009000B);
  CryptDestroyKey(imported);
  CryptReleaseContext(target, 0);
  auto persisted = readPem(keyFolder() + "/imported.pem");
  ASSERT_TRUE(persisted);
  EXPECT_EQ(EVP_PKEY_eq(persisted.get(), pkey.get()), 1);
  ASSERT_TRUE(CryptAcquireContextA(&target, "imported", nullptr, PROV_RSA_FULL, 0));
  HCRYPTHASH hash = sha1Of(target, "data");
  DWORD length = 128;
  Bytes signature(length);
  ASSERT_TRUE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &length));
  HCRYPTKEY pub = 0;
  ASSERT_TRUE(
      CryptImportKey(prov, publicBlob.data(), static_cast<DWORD>(publicBlob.size()), 0, 0, &pub));
  EXPECT_TRUE(CryptVerifySignatureA(hash, signature.data(), length, pub, nullptr, 0));
  EXPECT_FAILS_WITH(CryptExportKey(pub, 0, PRIVATEKEYBLOB, 0, nullptr, &small), 0x8009000B);
  CryptDestroyHash(hash);
  CryptDestroyKey(pub);
  CryptDestroyKey(key);
  CryptReleaseContext(target, 0);
  CryptReleaseContext(prov, 0);
}

TEST_F(KeyBlobs, MalformedBlobsAreRefused) {
  HCRYPTPROV prov = newContainer("source", AT_SIGNATURE, 512, CRYPT_EXPORTABLE);
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
  const Bytes good = exportBlob(key, PRIVATEKEYBLOB);
  CryptDestroyKey(key);
  struct Case {
    const char* what;
    std::size_t at;  // byte changed, or the length cut to
    int value;       // -1: cut the blob at `at`; -2: flip the byte's bits (a random key's byte)
    DWORD error;
  } cases[] = {
      {"empty", 0, -1, NTE_BAD_DATA},
      {"header only", 20, -1, NTE_BAD_DATA},
      {"one byte short", good.size() - 1, -1, NTE_BAD_DATA},
      {"blob type", 0, 1, NTE_BAD_TYPE},
      {"version", 1, 3, 0x80090007},
      {"algorithm", 5, 0x66, NTE_BAD_ALGID},
      {"magic", 11, '1', NTE_BAD_DATA},
      {"bit length", 13, 0x7F, NTE_BAD_DATA},
      {"bit length not a word multiple", 12, 8, NTE_BAD_DATA},
      {"prime", 20 + 64 + 3, -2, NTE_BAD_DATA},
  };
  for (const auto& c : cases) {
    Bytes blob = good;
    if (c.value == -1)
      blob.resize(c.at);
    else if (c.value == -2)
      blob[c.at] ^= 0xFF;
    else
      blob[c.at] = static_cast<std::uint8_t>(c.value);
    HCRYPTKEY imported = 0;
    SetLastError(0);
    EXPECT_FALSE(
        CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &imported))
        << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  CryptReleaseContext(prov, 0);
}

}  // namespace
}  // namespace kestrune::testing
