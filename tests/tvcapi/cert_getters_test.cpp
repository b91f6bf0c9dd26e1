// What is read from a certificate handle: names as text, the serial number, the key's provider.
#include "tests/tvcapi/core_fixture.h"

#include <openssl/x509v3.h>

#include "common/der.h"

namespace kestrune::testing::tvcapi_core {
namespace {

using CertGettersTest = CoreTest;

Bytes withIssuerAndSerial(const char* serialHex) {
  auto key = newRsaKey(512);
  Ptr<X509> cert(X509_new());
  BIGNUM* serial = nullptr;
  BN_hex2bn(&serial, serialHex);
  BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get()));
  BN_free(serial);
  X509_NAME* subject = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(subject, "C", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("TW"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("U001, \"quoted\""), -1, -1, 0);
  X509_NAME* issuer = X509_get_issuer_name(cert.get());
  X509_NAME_add_entry_by_txt(issuer, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("ORG01"), -1, -1, 0);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L);
  X509_set_pubkey(cert.get(), key.get());
  X509_sign(cert.get(), key.get(), EVP_sha256());
  return toDer(cert.get(), i2d_X509);
}

TEST_F(CertGettersTest, NamesOneLinePerRdnUnquoted) {
  TVCAPIHandle* cert = certificateHandle(withIssuerAndSerial("010A"));
  ASSERT_NE(nullptr, cert);
  char* subject = nullptr;
  char* issuer = nullptr;
  ASSERT_EQ(0, TVXCAPI_CertGetSubject(cert, 0, &subject));
  ASSERT_EQ(0, TVXCAPI_CertGetIssuer(cert, 0, &issuer));
  EXPECT_STREQ("C=TW\r\nCN=U001, \"quoted\"", subject);
  EXPECT_STREQ("O=ORG01", issuer);
  TVXCAPI_Free(subject);
  TVXCAPI_Free(issuer);
  TVXCAPI_FreeHandle(cert);
}

TEST_F(CertGettersTest, SerialNumberMostSignificantByteFirst) {
  TVCAPIHandle* cert = certificateHandle(withIssuerAndSerial("0102030405060708090A0B0C0D0E0F10"));
  ASSERT_NE(nullptr, cert);
  TVCAPI_BLOB blob{0, nullptr};
  ASSERT_EQ(0, TVXCAPI_CertGetSerialNumber(cert, 0, &blob));
  EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}), taken(blob));
  std::uint8_t small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  blob = {sizeof small, small};
  EXPECT_EQ(5003, TVXCAPI_CertGetSerialNumber(cert, 0, &blob));
  EXPECT_EQ(4u, blob.count);  // the blob is left as it was
  EXPECT_EQ(small, blob.data);
  EXPECT_EQ(0xEE, small[0]);
  std::uint8_t room[20] = {};
  blob = {sizeof room, room};
  ASSERT_EQ(0, TVXCAPI_CertGetSerialNumber(cert, 0, &blob));
  EXPECT_EQ(16u, blob.count);
  EXPECT_EQ(16, room[15]);
  TVXCAPI_FreeHandle(cert);
}

TEST_F(CertGettersTest, ProviderNameFromTheKeyProviderProperty) {
  const Bytes der = selfSigned(newRsaKey(512).get(), "Holder", 3);
  TVCAPIHandle* cert = certificateHandle(der, "container \xa4\xfd", "Some CSP");
  ASSERT_NE(nullptr, cert);
  char* provider = nullptr;
  char* container = nullptr;
  ASSERT_EQ(0, TVXCAPI_CertGetProviderName(cert, &provider, &container));
  EXPECT_STREQ("Some CSP", provider);
  EXPECT_STREQ("container \xa4\xfd", container);  // Big5, through UTF-16 and back
  TVXCAPI_Free(provider);
  TVXCAPI_Free(container);
  provider = nullptr;
  ASSERT_EQ(0, TVXCAPI_CertGetProviderName(cert, &provider, nullptr));
  EXPECT_STREQ("Some CSP", provider);
  TVXCAPI_Free(provider);
  TVXCAPI_FreeHandle(cert);

  cert = certificateHandle(der);
  provider = nullptr;
  EXPECT_EQ(5001, TVXCAPI_CertGetProviderName(cert, &provider, nullptr));
  EXPECT_EQ(nullptr, provider);
  TVXCAPI_FreeHandle(cert);
}

}  // namespace
}  // namespace kestrune::testing::tvcapi_core
