// RSA key blobs and PKCS#1 DER, against OpenSSL's own view of the same keys: OpenSSL's DER
// becomes a blob with the byte orders and field sizes CryptoAPI uses, and the blob becomes DER
// that OpenSSL reads back as the same key.
#include "tests/tvcapi/core_fixture.h"

#include <cstdlib>

#include <openssl/core_names.h>

#include "TVCAPI/rsa_key_blob.h"
#include "common/der.h"

namespace kestrune::testing::tvcapi_core {
namespace {

Bytes bigEndian(EVP_PKEY* key, const char* name, std::size_t length) {
  BIGNUM* value = nullptr;
  EXPECT_EQ(1, EVP_PKEY_get_bn_param(key, name, &value));
  Bytes out(length);
  EXPECT_EQ(static_cast<int>(length), BN_bn2binpad(value, out.data(), static_cast<int>(length)));
  BN_free(value);
  return out;
}

Bytes littleEndian(Bytes bytes) {
  return Bytes(bytes.rbegin(), bytes.rend());
}

std::uint32_t word(const std::uint8_t* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

Bytes privateBlob(const Bytes& der) {
  std::uint8_t* blob = nullptr;
  std::size_t length = 0;
  EXPECT_TRUE(tvxCAPIDerToPrivateBlob(der.data(), der.size(), &blob, &length));
  Bytes out(blob, blob + length);
  std::free(blob);
  return out;
}

TEST(RsaKeyBlobTest, PrivateKeyBothWays) {
  for (unsigned bits : {512u, 1024u, 2048u}) {
    SCOPED_TRACE(bits);
    auto key = newRsaKey(bits);
    const Bytes der = privateKeyDer(key.get());
    const Bytes blob = privateBlob(der);
    const std::size_t n = bits / 8, half = n / 2;
    ASSERT_EQ(20 + 9 * half, blob.size());
    EXPECT_EQ((Bytes{0x07, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00}),
              Bytes(blob.begin(), blob.begin() + 8));
    EXPECT_EQ(0x32415352u, word(&blob[8]));  // "RSA2"
    EXPECT_EQ(bits, word(&blob[12]));
    EXPECT_EQ(65537u, word(&blob[16]));
    const struct {
      const char* name;
      std::size_t offset, length;
    } kFields[] = {{OSSL_PKEY_PARAM_RSA_N, 0, n},
                   {OSSL_PKEY_PARAM_RSA_FACTOR1, n, half},
                   {OSSL_PKEY_PARAM_RSA_FACTOR2, n + half, half},
                   {OSSL_PKEY_PARAM_RSA_EXPONENT1, n + 2 * half, half},
                   {OSSL_PKEY_PARAM_RSA_EXPONENT2, n + 3 * half, half},
                   {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, n + 4 * half, half},
                   {OSSL_PKEY_PARAM_RSA_D, n + 5 * half, n}};
    for (const auto& field : kFields) {
      SCOPED_TRACE(field.name);
      const auto* at = blob.data() + 20 + field.offset;
      EXPECT_EQ(littleEndian(bigEndian(key.get(), field.name, field.length)),
                Bytes(at, at + field.length));
    }
    // Back to DER: OpenSSL's minimal encoding, byte for byte.
    const std::int32_t size = tvxCAPIPrivateBlobToDer(blob.data(), blob.size(), nullptr, 0);
    ASSERT_EQ(static_cast<std::int32_t>(der.size()), size);
    Bytes back(static_cast<std::size_t>(size));
    EXPECT_EQ(size, tvxCAPIPrivateBlobToDer(blob.data(), blob.size(), back.data(), back.size()));
    EXPECT_EQ(der, back);
  }
}

TEST(RsaKeyBlobTest, PublicKeyBothWays) {
  auto key = newRsaKey(1024);
  Bytes rsaPublic = toDer(key.get(), i2d_PublicKey);  // RSAPublicKey
  std::uint8_t* blob = nullptr;
  std::size_t length = 0;
  ASSERT_TRUE(tvxCAPIDerToPublicBlob(rsaPublic.data(), rsaPublic.size(), &blob, &length));
  Bytes bytes(blob, blob + length);
  std::free(blob);
  ASSERT_EQ(20u + 128, bytes.size());
  EXPECT_EQ((Bytes{0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00}),
            Bytes(bytes.begin(), bytes.begin() + 8));
  EXPECT_EQ(0x31415352u, word(&bytes[8]));  // "RSA1"
  EXPECT_EQ(1024u, word(&bytes[12]));
  EXPECT_EQ(littleEndian(bigEndian(key.get(), OSSL_PKEY_PARAM_RSA_N, 128)),
            Bytes(bytes.begin() + 20, bytes.end()));
  Bytes back(
      static_cast<std::size_t>(tvxCAPIPublicBlobToDer(bytes.data(), bytes.size(), nullptr, 0)));
  tvxCAPIPublicBlobToDer(bytes.data(), bytes.size(), back.data(), back.size());
  EXPECT_EQ(rsaPublic, back);
}

// A component with leading zero bytes in its fixed field is written in its minimal form, so
// strict DER readers (OpenSSL among them) accept every key.
TEST(RsaKeyBlobTest, LeadingZerosOfAFieldAreNotWritten) {
  auto key = newRsaKey(512);
  Bytes blob = privateBlob(privateKeyDer(key.get()));
  const std::size_t coefficient = 20 + 64 + 4 * 32;
  blob[coefficient + 31] = 0;  // most significant byte of the coefficient
  blob[coefficient + 30] = 0x01;
  Bytes der(
      static_cast<std::size_t>(tvxCAPIPrivateBlobToDer(blob.data(), blob.size(), nullptr, 0)));
  tvxCAPIPrivateBlobToDer(blob.data(), blob.size(), der.data(), der.size());
  // The coefficient is the last INTEGER: 31 bytes, starting with 0x01.
  EXPECT_EQ((Bytes{0x02, 31, 0x01}), Bytes(der.end() - 33, der.end() - 30));
}

TEST(RsaKeyBlobTest, RefusesWhatIsNoKey) {
  auto key = newRsaKey(512);
  const Bytes der = privateKeyDer(key.get());
  Bytes trailing = der;
  trailing.push_back(0);
  Bytes negative = der;
  // The modulus INTEGER follows the version (02 01 00) inside the SEQUENCE header (30 82 xx xx).
  ASSERT_EQ(0x02, negative[7]);
  const std::size_t modulusContent = 9;
  ASSERT_EQ(0x00, negative[modulusContent]);
  negative[modulusContent] = 0x80;
  const Bytes cases[] = {{},
                         {0x30, 0x00},
                         {0x30, 0x80, 0x00, 0x00},
                         trailing,
                         negative,
                         Bytes(der.begin(), der.end() - 1),
                         {0x02, 0x01, 0x00}};
  for (const auto& c : cases) {
    std::uint8_t* blob = nullptr;
    std::size_t length = 0;
    EXPECT_FALSE(tvxCAPIDerToPrivateBlob(c.data(), c.size(), &blob, &length));
    EXPECT_FALSE(tvxCAPIDerToPublicBlob(c.data(), c.size(), &blob, &length));
    EXPECT_EQ(nullptr, blob);
  }
  Bytes blob = privateBlob(der);
  EXPECT_EQ(-1, tvxCAPIPrivateBlobToDer(blob.data(), blob.size() - 1, nullptr, 0));
  blob[0] = 0x06;
  EXPECT_EQ(-1, tvxCAPIPrivateBlobToDer(blob.data(), blob.size(), nullptr, 0));
  EXPECT_EQ(-1, tvxCAPIPublicBlobToDer(blob.data(), 19, nullptr, 0));
}

}  // namespace
}  // namespace kestrune::testing::tvcapi_core
