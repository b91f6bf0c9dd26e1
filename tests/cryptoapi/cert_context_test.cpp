// Certificate contexts: the CERT_INFO CryptoAPI fills, references, properties, comparison,
// validity and key usage.
#include <algorithm>
#include <cstring>
#include <ctime>

#include <gtest/gtest.h>

#include "tests/cryptoapi/cert_maker.h"

namespace kestrune::test {
namespace {

struct ContextOwner {
  PCCERT_CONTEXT context;
  ~ContextOwner() { CertFreeCertificateContext(context); }
};

PCCERT_CONTEXT create(const Bytes& der) {
  return CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size()));
}

TEST(CertContext, FillsCertInfoInCryptoApiForm) {
  CertSpec spec;
  spec.serial = 0xFF;  // encoded 00 FF: the sign byte stays, least significant first
  spec.issuer = {{"2.5.4.3", V_ASN1_PRINTABLESTRING, "Issuer CA"}};
  spec.keyUsage = "critical,digitalSignature";
  const Bytes der = makeCert(spec);
  ContextOwner cert{create(der)};
  ASSERT_NE(cert.context, nullptr);
  const CERT_INFO& info = *cert.context->pCertInfo;
  EXPECT_EQ(cert.context->dwCertEncodingType, kEncoding);
  EXPECT_EQ(
      Bytes(cert.context->pbCertEncoded, cert.context->pbCertEncoded + cert.context->cbCertEncoded),
      der);
  EXPECT_EQ(info.dwVersion, 2u);
  EXPECT_EQ(Bytes(info.SerialNumber.pbData, info.SerialNumber.pbData + info.SerialNumber.cbData),
            (Bytes{0xFF, 0x00}));
  EXPECT_EQ(Bytes(info.Issuer.pbData, info.Issuer.pbData + info.Issuer.cbData),
            nameDer(spec.issuer));
  EXPECT_EQ(Bytes(info.Subject.pbData, info.Subject.pbData + info.Subject.cbData),
            nameDer(spec.subject));
  EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.10045.4.3.2");
  EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.10045.2.1");
  EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.cbData, 65u);
  ASSERT_EQ(info.cExtension, 1u);
  EXPECT_STREQ(info.rgExtension[0].pszObjId, "2.5.29.15");
  EXPECT_TRUE(info.rgExtension[0].fCritical);
  // NotBefore is yesterday: FILETIME counts 100 ns from 1601.
  const std::uint64_t ticks =
      (std::uint64_t{info.NotBefore.dwHighDateTime} << 32) | info.NotBefore.dwLowDateTime;
  const std::int64_t seconds = static_cast<std::int64_t>(ticks / 10000000) - 11644473600;
  EXPECT_NEAR(static_cast<double>(seconds), static_cast<double>(std::time(nullptr) - 86400), 60);
}

TEST(CertContext, RefusesWhatIsNotACertificate) {
  const Bytes der = makeCert({});
  struct Case {
    const char* name;
    DWORD encoding;
    Bytes bytes;
    DWORD error;
  };
  const Case cases[] = {
      {"no X509 encoding", PKCS_7_ASN_ENCODING, der, 0x80070057},
      {"empty", kEncoding, {}, 0x80093102},
      {"wrong tag", kEncoding, {0x31, 0x00}, CRYPT_E_ASN1_BADTAG},
      {"cut short", kEncoding, Bytes(der.begin(), der.begin() + 40), 0x80093102},
      {"empty sequence", kEncoding, {0x30, 0x00}, CRYPT_E_ASN1_CORRUPT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(0);
    EXPECT_EQ(CertCreateCertificateContext(c.encoding, c.bytes.data(),
                                           static_cast<DWORD>(c.bytes.size())),
              nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
}

// A name may hold values that are no directory string (an INTEGER, an OCTET STRING, a
// VisibleString). CryptoAPI keeps the certificate, shows those values in hex, and a store
// lists it.
TEST(CertContext, KeepsNamesWithValuesThatAreNoDirectoryString) {
  // OpenSSL writes no such name: the test certificate's names are a CN of the same length,
  // replaced (the signature then no longer matches, which creating a context doesn't check).
  const Bytes subject = {
      0x30, 0x48, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x04, 0x2A, 0x03, 0x04, 0x06, 0x02, 0x01, 0x2A,
      0x31, 0x0E, 0x30, 0x0C, 0x06, 0x04, 0x2A, 0x03, 0x04, 0x07, 0x04, 0x04, 0xDE, 0xAD, 0xBE,
      0xEF, 0x31, 0x10, 0x30, 0x0E, 0x06, 0x03, 0x55, 0x04, 0x0B, 0x1A, 0x07, 'v',  'i',  's',
      'i',  'b',  'l',  'e',  0x31, 0x17, 0x30, 0x15, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x0E,
      'e',  'n',  'c',  'o',  'd',  'e',  'd',  ' ',  'v',  'a',  'l',  'u',  'e',  's'};
  CertSpec spec;
  spec.subject = {{"2.5.4.3", V_ASN1_UTF8STRING, std::string(61, 'x')}};
  const Bytes placeholder = nameDer(spec.subject);
  ASSERT_EQ(placeholder.size(), subject.size());
  Bytes der = makeCert(spec);
  for (int name = 0; name < 2; ++name) {
    const auto at = std::search(der.begin(), der.end(), placeholder.begin(), placeholder.end());
    ASSERT_NE(at, der.end());
    std::copy(subject.begin(), subject.end(), at);
  }

  ContextOwner cert{create(der)};
  ASSERT_NE(cert.context, nullptr) << std::hex << GetLastError();
  const CERT_INFO& info = *cert.context->pCertInfo;
  for (const CERT_NAME_BLOB* name : {&info.Subject, &info.Issuer}) {
    EXPECT_EQ(Bytes(name->pbData, name->pbData + name->cbData), subject);
    char text[128];
    EXPECT_GT(CertNameToStrA(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(name),
                             CERT_X500_NAME_STR, text, sizeof text),
              1u);
    EXPECT_STREQ(text,
                 "OID.1.2.3.4.6=#02012A, OID.1.2.3.4.7=#DEADBEEF, OU=visible, CN=encoded values");
  }
  EXPECT_EQ(info.SerialNumber.cbData, 1u);
  EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.10045.2.1");
  EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.cbData, 65u);

  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  ASSERT_NE(store, nullptr);
  ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEncoding, der.data(),
                                               static_cast<DWORD>(der.size()),
                                               CERT_STORE_ADD_ALWAYS, nullptr));
  PCCERT_CONTEXT listed = CertEnumCertificatesInStore(store, nullptr);
  ASSERT_NE(listed, nullptr);
  EXPECT_TRUE(CertCompareCertificate(kEncoding, listed->pCertInfo, cert.context->pCertInfo));
  CertFreeCertificateContext(listed);
  EXPECT_TRUE(CertCloseStore(store, 0));
}

// A name our decoder can't read either stays refused.
TEST(CertContext, RefusesACertificateWhoseNameIsCorrupt) {
  const Bytes good = makeCert({});
  const Bytes subject = nameDer(CertSpec{}.subject);
  Bytes der = good;
  auto at = std::search(der.begin(), der.end(), subject.begin(), subject.end());
  ASSERT_NE(at, der.end());
  at[2] = 0x04;  // the RDN's SET tagged as an OCTET STRING: no longer a Name
  SetLastError(0);
  EXPECT_EQ(create(der), nullptr);
  EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_CORRUPT);
}

TEST(CertContext, DuplicatesShareOneRecordUntilTheLastFree) {
  PCCERT_CONTEXT cert = create(makeCert({}));
  ASSERT_NE(cert, nullptr);
  PCCERT_CONTEXT copy = CertDuplicateCertificateContext(cert);
  EXPECT_EQ(copy, cert);
  EXPECT_TRUE(CertFreeCertificateContext(cert));
  EXPECT_EQ(copy->pCertInfo->dwVersion, 2u);  // still alive
  EXPECT_TRUE(CertFreeCertificateContext(copy));
  EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

// The context keeps the encoding type the caller named, and so does every copy of it: the
// duplicate, the store's copy, and what enumeration hands out.
TEST(CertContext, KeepsTheCallersEncodingType) {
  const Bytes der = makeCert({});
  for (const DWORD encoding : {X509_ASN_ENCODING, kEncoding}) {
    SCOPED_TRACE(encoding);
    ContextOwner cert{
        CertCreateCertificateContext(encoding, der.data(), static_cast<DWORD>(der.size()))};
    ASSERT_NE(cert.context, nullptr);
    EXPECT_EQ(cert.context->dwCertEncodingType, encoding);
    ContextOwner duplicate{CertDuplicateCertificateContext(cert.context)};
    EXPECT_EQ(duplicate.context->dwCertEncodingType, encoding);

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(
        CertAddCertificateContextToStore(store, cert.context, CERT_STORE_ADD_ALWAYS, &added));
    EXPECT_NE(added, cert.context);
    EXPECT_EQ(added->dwCertEncodingType, encoding);
    CertFreeCertificateContext(added);
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, encoding, der.data(),
                                                 static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_ALWAYS, &added));
    EXPECT_EQ(added->dwCertEncodingType, encoding);
    CertFreeCertificateContext(added);
    int listed = 0;
    for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, nullptr); it != nullptr;
         it = CertEnumCertificatesInStore(store, it)) {
      EXPECT_EQ(it->dwCertEncodingType, encoding);
      ++listed;
    }
    EXPECT_EQ(listed, 2);
    EXPECT_TRUE(CertCloseStore(store, 0));
  }
}

TEST(CertContext, PropertiesAreSizeFirstAndDeepCopied) {
  const Bytes der = makeCert({});
  ContextOwner cert{create(der)};
  DWORD size = 0;
  ASSERT_TRUE(
      CertGetCertificateContextProperty(cert.context, CERT_SHA1_HASH_PROP_ID, nullptr, &size));
  ASSERT_EQ(size, 20u);
  BYTE hash[20];
  ASSERT_TRUE(CertGetCertificateContextProperty(cert.context, CERT_SHA1_HASH_PROP_ID, hash, &size));
  std::string hex;
  for (BYTE b : hash) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", b);
    hex += two;
  }
  EXPECT_EQ(hex, sha1Hex(der));

  SetLastError(0);
  EXPECT_FALSE(
      CertGetCertificateContextProperty(cert.context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);

  std::wstring container = L"王小明的金鑰", provider = L"Test Provider";
  BYTE paramData[] = {1, 2, 3};
  CRYPT_KEY_PROV_PARAM param{7, paramData, 3, 0};
  CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 1,
                           &param,           AT_SIGNATURE};
  ASSERT_TRUE(
      CertSetCertificateContextProperty(cert.context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  container.assign(container.size(), L'x');  // the context keeps its own copy
  paramData[0] = 9;

  ASSERT_TRUE(
      CertGetCertificateContextProperty(cert.context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
  DWORD small = size - 1;
  std::vector<std::uint64_t> buffer(size / 8 + 1);
  SetLastError(0);
  EXPECT_FALSE(CertGetCertificateContextProperty(cert.context, CERT_KEY_PROV_INFO_PROP_ID,
                                                 buffer.data(), &small));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(small, size);
  ASSERT_TRUE(CertGetCertificateContextProperty(cert.context, CERT_KEY_PROV_INFO_PROP_ID,
                                                buffer.data(), &size));
  const auto* got = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  EXPECT_STREQ(got->pwszContainerName, L"王小明的金鑰");
  EXPECT_STREQ(got->pwszProvName, L"Test Provider");
  EXPECT_EQ(got->dwKeySpec, AT_SIGNATURE);
  ASSERT_EQ(got->cProvParam, 1u);
  EXPECT_EQ(got->rgProvParam[0].dwParam, 7u);
  EXPECT_EQ(Bytes(got->rgProvParam[0].pbData, got->rgProvParam[0].pbData + 3), (Bytes{1, 2, 3}));

  ASSERT_TRUE(
      CertSetCertificateContextProperty(cert.context, CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
  EXPECT_FALSE(
      CertGetCertificateContextProperty(cert.context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
}

TEST(CertContext, ComparesIssuerAndSerial) {
  CertSpec a;
  a.serial = 5;
  CertSpec b = a;
  b.notAfterDays = 10;  // another certificate, same issuer and serial
  CertSpec c = a;
  c.serial = 6;
  ContextOwner ca{create(makeCert(a))}, cb{create(makeCert(b))}, cc{create(makeCert(c))};
  EXPECT_TRUE(CertCompareCertificate(kEncoding, ca.context->pCertInfo, cb.context->pCertInfo));
  EXPECT_FALSE(CertCompareCertificate(kEncoding, ca.context->pCertInfo, cc.context->pCertInfo));
}

TEST(CertContext, TimeValidity) {
  CertSpec expired, current, future;
  expired.notBeforeDays = -20, expired.notAfterDays = -10;
  future.notBeforeDays = 10, future.notAfterDays = 20;
  ContextOwner e{create(makeCert(expired))}, c{create(makeCert(current))},
      f{create(makeCert(future))};
  EXPECT_EQ(CertVerifyTimeValidity(nullptr, e.context->pCertInfo), 1);
  EXPECT_EQ(CertVerifyTimeValidity(nullptr, c.context->pCertInfo), 0);
  EXPECT_EQ(CertVerifyTimeValidity(nullptr, f.context->pCertInfo), -1);
  FILETIME past = e.context->pCertInfo->NotBefore;
  EXPECT_EQ(CertVerifyTimeValidity(&past, e.context->pCertInfo), 0);
}

TEST(CertContext, IntendedKeyUsageAsWindowsGivesIt) {
  struct Case {
    const char* usage;
    BOOL ok;
    BYTE first, second;
  };
  const Case cases[] = {
      {"digitalSignature", TRUE, 0x80, 0x00},
      {"keyEncipherment", TRUE, 0x20, 0x00},
      {"digitalSignature,nonRepudiation,keyCertSign,cRLSign", TRUE, 0xC6, 0x00},
      {"keyAgreement,encipherOnly", TRUE, 0x09, 0x00},
      {"keyAgreement,decipherOnly", TRUE, 0x08, 0x80},
      {"", FALSE, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.usage);
    CertSpec spec;
    spec.keyUsage = c.usage;
    ContextOwner cert{create(makeCert(spec))};
    BYTE usage[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    SetLastError(123);
    EXPECT_EQ(CertGetIntendedKeyUsage(kEncoding, cert.context->pCertInfo, usage, 4), c.ok);
    if (c.ok) {
      EXPECT_EQ(usage[0], c.first);
      EXPECT_EQ(usage[1], c.second);
      EXPECT_EQ(usage[2], 0);
    } else {
      EXPECT_EQ(GetLastError(), 0u);  // no extension: FALSE with no error
    }
  }
  // An extension that isn't a BIT STRING fails with an error.
  ContextOwner cert{create(makeCert({}))};
  CERT_INFO info = *cert.context->pCertInfo;
  BYTE bad[] = {0x04, 0x01, 0x00};
  char oid[] = "2.5.29.15";
  CERT_EXTENSION extension{oid, TRUE, {sizeof bad, bad}};
  info.cExtension = 1;
  info.rgExtension = &extension;
  BYTE usage[2];
  SetLastError(0);
  EXPECT_FALSE(CertGetIntendedKeyUsage(kEncoding, &info, usage, 2));
  EXPECT_NE(GetLastError(), 0u);
}

}  // namespace
}  // namespace kestrune::test
