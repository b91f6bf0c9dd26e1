// CryptEncodeObject / CryptDecodeObject (X509_NAME, X509_PUBLIC_KEY_INFO, PKCS7_SIGNER_INFO)
// and the PKCS#7 message calls, against what OpenSSL encodes.
#include <algorithm>
#include <cstring>

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include "common/der.h"
#include "common/ptr.h"
#include "tests/cryptoapi/cert_maker.h"

namespace kestrune {
KESTRUNE_FREE(PKCS7, PKCS7_free);
KESTRUNE_FREE(PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free);
}  // namespace kestrune

namespace kestrune::test {
namespace {

// Decodes size first into an aligned buffer.
std::vector<std::uint64_t> decode(LPCSTR type, const Bytes& der) {
  DWORD size = 0;
  EXPECT_TRUE(CryptDecodeObject(kEncoding, type, der.data(), static_cast<DWORD>(der.size()), 0,
                                nullptr, &size));
  std::vector<std::uint64_t> buffer(size / 8 + 1);
  DWORD small = size - 1;
  SetLastError(0);
  EXPECT_FALSE(CryptDecodeObject(kEncoding, type, der.data(), static_cast<DWORD>(der.size()), 0,
                                 buffer.data(), &small));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(small, size);
  EXPECT_TRUE(CryptDecodeObject(kEncoding, type, der.data(), static_cast<DWORD>(der.size()), 0,
                                buffer.data(), &size));
  return buffer;
}

Bytes encode(LPCSTR type, const void* info) {
  DWORD size = 0;
  if (!CryptEncodeObject(kEncoding, type, info, nullptr, &size)) return {};
  Bytes der(size);
  if (!CryptEncodeObject(kEncoding, type, info, der.data(), &size)) return {};
  der.resize(size);
  return der;
}

TEST(NameCoder, DecodesValuesAsWindowsAndEncodesBack) {
  const Bytes der = nameDer({{"2.5.4.6", V_ASN1_PRINTABLESTRING, "TW"},
                             {"2.5.4.3", V_ASN1_UTF8STRING, "王小明"},
                             {"2.5.4.11", V_ASN1_BMPSTRING, "資訊部", true},
                             {"1.2.840.113549.1.9.1", V_ASN1_IA5STRING, "a@b.tw"}});
  const auto buffer = decode(kX509NameType, der);
  const auto* info = reinterpret_cast<const CERT_NAME_INFO*>(buffer.data());
  ASSERT_EQ(info->cRDN, 3u);
  const CERT_RDN_ATTR& country = info->rgRDN[0].rgRDNAttr[0];
  EXPECT_STREQ(country.pszObjId, szOID_COUNTRY_NAME);
  EXPECT_EQ(country.dwValueType, CERT_RDN_PRINTABLE_STRING);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(country.Value.pbData), country.Value.cbData),
            "TW");
  ASSERT_EQ(info->rgRDN[1].cRDNAttr, 2u);
  for (const CERT_RDN_ATTR& attr : {info->rgRDN[1].rgRDNAttr[0], info->rgRDN[1].rgRDNAttr[1]}) {
    const std::wstring value(reinterpret_cast<const wchar_t*>(attr.Value.pbData),
                             attr.Value.cbData / sizeof(wchar_t));
    if (std::strcmp(attr.pszObjId, szOID_COMMON_NAME) == 0) {
      EXPECT_EQ(attr.dwValueType, CERT_RDN_UTF8_STRING);
      EXPECT_EQ(value, L"王小明");
    } else {
      EXPECT_EQ(attr.dwValueType, CERT_RDN_UNICODE_STRING);
      EXPECT_EQ(value, L"資訊部");
    }
  }
  EXPECT_EQ(info->rgRDN[2].rgRDNAttr[0].dwValueType, CERT_RDN_IA5_STRING);
  EXPECT_EQ(encode(kX509NameType, info), der);
}

TEST(NameCoder, RefusesMalformedInput) {
  DWORD size = 0;
  const Bytes der = nameDer({{"2.5.4.3", V_ASN1_UTF8STRING, "A"}});
  SetLastError(0);
  EXPECT_FALSE(CryptDecodeObject(0, kX509NameType, der.data(), static_cast<DWORD>(der.size()), 0,
                                 nullptr, &size));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  const Bytes wrongTag = {0x31, 0x00};
  EXPECT_FALSE(CryptDecodeObject(kEncoding, kX509NameType, wrongTag.data(), 2, 0, nullptr, &size));
  EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
}

// Malformed UTF-8 in a UTF8String doesn't make the name undecodable: the bad byte reads as
// U+FFFD, and the name encodes again as well-formed UTF-8.
TEST(NameCoder, ReadsMalformedUtf8AsReplacementCharacters) {
  const Bytes badUtf8 = {0x30, 0x0C, 0x31, 0x0A, 0x30, 0x08, 0x06,
                         0x03, 0x55, 0x04, 0x03, 0x0C, 0x01, 0xFF};
  const auto buffer = decode(kX509NameType, badUtf8);
  const auto* info = reinterpret_cast<const CERT_NAME_INFO*>(buffer.data());
  ASSERT_EQ(info->cRDN, 1u);
  const CERT_RDN_ATTR& value = info->rgRDN[0].rgRDNAttr[0];
  EXPECT_EQ(value.dwValueType, CERT_RDN_UTF8_STRING);
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(value.Value.pbData),
                         value.Value.cbData / sizeof(wchar_t)),
            L"\uFFFD");
  const Bytes again = {0x30, 0x0E, 0x31, 0x0C, 0x30, 0x0A, 0x06, 0x03,
                       0x55, 0x04, 0x03, 0x0C, 0x03, 0xEF, 0xBF, 0xBD};
  EXPECT_EQ(encode(kX509NameType, info), again);
}

TEST(ObjectCoders, PublicKeyInfoRoundTrip) {
  Ptr<X509_PUBKEY> key;
  X509_PUBKEY* raw = nullptr;
  ASSERT_EQ(X509_PUBKEY_set(&raw, testKey()), 1);
  key.reset(raw);
  const Bytes spki = toDer(key.get(), i2d_X509_PUBKEY);
  const auto buffer = decode(kPublicKeyInfoType, spki);
  const auto* info = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(buffer.data());
  EXPECT_STREQ(info->Algorithm.pszObjId, "1.2.840.10045.2.1");
  EXPECT_EQ(info->PublicKey.cbData, 65u);
  EXPECT_EQ(info->PublicKey.cUnusedBits, 0u);
  EXPECT_EQ(encode(kPublicKeyInfoType, info), spki);
}

// A signed message made by OpenSSL with the test key, its certificate (serial 00 C8 ...) and
// authenticated attributes.
struct SignedMessage {
  Bytes certDer, message;
  Ptr<PKCS7> p7;
};

SignedMessage signedMessage(const std::string& content) {
  CertSpec spec;
  spec.serial = 0xC801;
  SignedMessage out;
  out.certDer = makeCert(spec);
  const unsigned char* p = out.certDer.data();
  Ptr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(out.certDer.size())));
  Ptr<BIO> data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  out.p7.reset(PKCS7_sign(cert.get(), testKey(), nullptr, data.get(), PKCS7_BINARY));
  out.message = toDer(out.p7.get(), i2d_PKCS7);
  return out;
}

TEST(ObjectCoders, SignerInfoKeepsCryptoApiByteOrders) {
  const SignedMessage m = signedMessage("UNB+UNOC:3");
  ASSERT_TRUE(m.p7);
  PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(m.p7.get()), 0);
  const Bytes der = toDer(signer, i2d_PKCS7_SIGNER_INFO);
  const auto buffer = decode(kSignerInfoType, der);
  const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
  EXPECT_EQ(info->dwVersion, 1u);
  // The serial least significant byte first (C8 01 is encoded 00 C8 01).
  EXPECT_EQ(Bytes(info->SerialNumber.pbData, info->SerialNumber.pbData + info->SerialNumber.cbData),
            (Bytes{0x01, 0xC8, 0x00}));
  // The encrypted hash as the message holds it.
  const ASN1_OCTET_STRING* digest = signer->enc_digest;
  EXPECT_EQ(
      Bytes(info->EncryptedHash.pbData, info->EncryptedHash.pbData + info->EncryptedHash.cbData),
      Bytes(ASN1_STRING_get0_data(digest),
            ASN1_STRING_get0_data(digest) + ASN1_STRING_length(digest)));
  EXPECT_STREQ(info->HashAlgorithm.pszObjId, "2.16.840.1.101.3.4.2.1");
  EXPECT_GE(info->AuthAttrs.cAttr, 3u);
  EXPECT_EQ(info->UnauthAttrs.cAttr, 0u);
  EXPECT_EQ(encode(kSignerInfoType, info), der);
}

// The attributes and their values are SETs OF: DER writes them ascending by encoding, and the
// signature covers that form, whatever order a caller lists them in. OpenSSL, which writes its
// SETs in DER order, judges the result.
TEST(ObjectCoders, SignerInfoWritesAttributesInDerOrder) {
  const SignedMessage m = signedMessage("UNB+UNOC:3");
  ASSERT_TRUE(m.p7);
  PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(m.p7.get()), 0);
  const Bytes der = toDer(signer, i2d_PKCS7_SIGNER_INFO);
  const auto buffer = decode(kSignerInfoType, der);
  CMSG_SIGNER_INFO info = *reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
  ASSERT_GE(info.AuthAttrs.cAttr, 3u);

  // The caller's attributes last to first, and an extra one with two values out of order.
  std::vector<CRYPT_ATTRIBUTE> reversed(info.AuthAttrs.rgAttr,
                                        info.AuthAttrs.rgAttr + info.AuthAttrs.cAttr);
  std::reverse(reversed.begin(), reversed.end());
  BYTE later[] = {0x0C, 0x02, 'z', 'z'};
  BYTE earlier[] = {0x0C, 0x01, 'a'};
  CRYPT_ATTR_BLOB twoValues[] = {{sizeof later, later}, {sizeof earlier, earlier}};
  std::vector<CRYPT_ATTRIBUTE> withMultiValued = reversed;
  withMultiValued.insert(withMultiValued.begin() + 1,
                         CRYPT_ATTRIBUTE{const_cast<LPSTR>("1.2.3.4"), 2, twoValues});

  // OpenSSL's own encoding of the signer information we wrote: DER puts its SETs in order.
  const auto derOfOpenSsl = [](const Bytes& ours) {
    const unsigned char* p = ours.data();
    Ptr<PKCS7_SIGNER_INFO> parsed(
        d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(ours.size())));
    return parsed ? toDer(parsed.get(), i2d_PKCS7_SIGNER_INFO) : Bytes{};
  };
  struct Case {
    const char* name;
    std::vector<CRYPT_ATTRIBUTE>* attributes;
  } cases[] = {{"reversed", &reversed}, {"multi-valued", &withMultiValued}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    info.AuthAttrs = {static_cast<DWORD>(c.attributes->size()), c.attributes->data()};
    const Bytes ours = encode(kSignerInfoType, &info);
    ASSERT_FALSE(ours.empty());
    EXPECT_EQ(derOfOpenSsl(ours), ours);
  }
  // Without the extra attribute, the bytes OpenSSL signed come back.
  info.AuthAttrs = {static_cast<DWORD>(reversed.size()), reversed.data()};
  EXPECT_EQ(encode(kSignerInfoType, &info), der);
}

TEST(Messages, DecodesASignedMessage) {
  const SignedMessage m = signedMessage("UNB+UNOC:3");
  HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
  ASSERT_NE(msg, nullptr);
  DWORD size = 0;
  EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, nullptr, &size));  // nothing decoded yet
  ASSERT_TRUE(CryptMsgUpdate(msg, m.message.data(), 10, FALSE));
  ASSERT_TRUE(
      CryptMsgUpdate(msg, m.message.data() + 10, static_cast<DWORD>(m.message.size() - 10), TRUE));
  DWORD type = 0;
  size = sizeof type;
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, &type, &size));
  EXPECT_EQ(type, 2u);  // CMSG_SIGNED
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &size));
  std::string content(size, '\0');
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, content.data(), &size));
  EXPECT_EQ(content, "UNB+UNOC:3");
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_ENCODED_MESSAGE, 0, nullptr, &size));
  Bytes encoded(size);
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_ENCODED_MESSAGE, 0, encoded.data(), &size));
  EXPECT_EQ(encoded, m.message);
  EXPECT_FALSE(CryptMsgUpdate(msg, m.message.data(), 1, TRUE));  // already final
  EXPECT_TRUE(CryptMsgClose(msg));

  // Not a message, and a message of another type than asked for.
  msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
  const Bytes junk = {0x04, 0x01, 0x00};
  EXPECT_FALSE(CryptMsgUpdate(msg, junk.data(), 3, TRUE));
  EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
  CryptMsgClose(msg);
  msg = CryptMsgOpenToDecode(kEncoding, 0, 1, 0, nullptr, nullptr);
  EXPECT_FALSE(CryptMsgUpdate(msg, m.message.data(), static_cast<DWORD>(m.message.size()), TRUE));
  EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_MSG_TYPE);
  CryptMsgClose(msg);
}

}  // namespace
}  // namespace kestrune::test
