// Certificate contexts: what CertCreateCertificateContext keeps (encoding type, version,
// serial, algorithms, validity, extensions), thumbprints, key usage, time checks, properties.
#include <cstdio>

#include "tests/cryptoapi_compare/probe.h"

namespace probe {
namespace {

std::uint64_t ticks(const FILETIME& t) {
  return static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

FILETIME fileTime(std::uint64_t value) {
  return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

std::string timeText(const FILETIME& t) {
  SYSTEMTIME s{};
  if (!FileTimeToSystemTime(&t, &s)) return outcome(FALSE);
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u dow=%u", s.wYear, s.wMonth,
                s.wDay, s.wHour, s.wMinute, s.wSecond, s.wMilliseconds, s.wDayOfWeek);
  return std::to_string(ticks(t)) + " " + text;
}

std::string property(PCCERT_CONTEXT context, DWORD id) {
  DWORD length = 0;
  if (!CertGetCertificateContextProperty(context, id, nullptr, &length))
    return "size:" + outcome(FALSE);
  Bytes value(length);
  if (!CertGetCertificateContextProperty(context, id, value.data(), &length)) return outcome(FALSE);
  value.resize(length);
  return hex(value);
}

void probeContext(const Fixture& f) {
  const std::string key = "cert/" + stem(f);
  Context context = contextOf(f.bytes);
  if (!context) {
    emit(key + "/context", "fail:" + lastError());
    return;
  }
  const CERT_INFO& info = *context->pCertInfo;
  emit(key + "/encoding-type", hexWord(context->dwCertEncodingType));
  emit(key + "/encoded-same",
       Bytes(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded) == f.bytes
           ? "yes"
           : "no");
  emit(key + "/version", std::to_string(info.dwVersion));
  emit(key + "/serial", hex(info.SerialNumber.pbData, info.SerialNumber.cbData));
  emit(key + "/signature-algorithm", std::string(info.SignatureAlgorithm.pszObjId) + " " +
                                         hex(info.SignatureAlgorithm.Parameters.pbData,
                                             info.SignatureAlgorithm.Parameters.cbData));
  emit(key + "/issuer", hex(info.Issuer.pbData, info.Issuer.cbData));
  emit(key + "/not-before", timeText(info.NotBefore));
  emit(key + "/not-after", timeText(info.NotAfter));
  const CERT_PUBLIC_KEY_INFO& spki = info.SubjectPublicKeyInfo;
  emit(key + "/public-key",
       std::string(spki.Algorithm.pszObjId) + " " +
           hex(spki.Algorithm.Parameters.pbData, spki.Algorithm.Parameters.cbData) +
           " unused=" + std::to_string(spki.PublicKey.cUnusedBits) + " " +
           hex(spki.PublicKey.pbData, spki.PublicKey.cbData));
  emit(key + "/unique-ids", std::to_string(info.IssuerUniqueId.cbData) + " " +
                                std::to_string(info.SubjectUniqueId.cbData));
  std::string extensions = std::to_string(info.cExtension);
  for (DWORD i = 0; i < info.cExtension; ++i)
    extensions += std::string(" ") + info.rgExtension[i].pszObjId +
                  (info.rgExtension[i].fCritical ? "!" : "") + "=" +
                  hex(info.rgExtension[i].Value.pbData, info.rgExtension[i].Value.cbData);
  emit(key + "/extensions", extensions);

  emit(key + "/sha1-hash", property(context.get(), CERT_SHA1_HASH_PROP_ID));
  emit(key + "/hash", property(context.get(), CERT_HASH_PROP_ID));
  emit(key + "/key-prov-info", property(context.get(), CERT_KEY_PROV_INFO_PROP_ID));

  for (DWORD size : {1u, 2u}) {
    BYTE usage[2] = {0xEE, 0xEE};
    SetLastError(0x1234);
    BOOL has = CertGetIntendedKeyUsage(X509_ASN_ENCODING, context->pCertInfo, usage, size);
    emit(key + "/key-usage/" + std::to_string(size),
         std::to_string(has) + " " + hex(usage, 2) + (has ? "" : " err=" + lastError()));
  }

  const std::uint64_t before = ticks(info.NotBefore), after = ticks(info.NotAfter);
  struct When {
    const char* label;
    std::uint64_t value;
  };
  for (const When& when : {When{"before", before - 1}, When{"at-start", before},
                           When{"inside", before + (after - before) / 2}, When{"at-end", after},
                           When{"after", after + 1}}) {
    FILETIME t = fileTime(when.value);
    emit(key + "/validity/" + when.label,
         std::to_string(CertVerifyTimeValidity(&t, context->pCertInfo)));
  }

  // The public key info encoded on its own and decoded back.
  DWORD length = 0;
  if (CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &spki, nullptr, &length)) {
    Bytes encoded(length);
    CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &spki, encoded.data(), &length);
    encoded.resize(length);
    emit(key + "/public-key-info-der", hex(encoded));
    DWORD size = 0;
    if (CryptDecodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, encoded.data(), length, 0,
                          nullptr, &size)) {
      std::vector<std::uint64_t> storage(size / 8 + 1);
      CryptDecodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, encoded.data(), length, 0,
                        storage.data(), &size);
      const auto* decoded = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(storage.data());
      emit(key + "/public-key-info-decoded",
           std::string(decoded->Algorithm.pszObjId) + " " +
               hex(decoded->PublicKey.pbData, decoded->PublicKey.cbData));
    } else {
      emit(key + "/public-key-info-decoded", outcome(FALSE));
    }
  } else {
    emit(key + "/public-key-info-der", outcome(FALSE));
  }
}

}  // namespace

void probeCertificates() {
  for (const auto& f : fixtures())
    if (isCertificate(f)) probeContext(f);

  const Bytes& der = fixture("plain.der");
  for (DWORD type : {X509_ASN_ENCODING, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING}) {
    PCCERT_CONTEXT c =
        CertCreateCertificateContext(type, der.data(), static_cast<DWORD>(der.size()));
    emit("cert/encoding-type-kept/" + hexWord(type),
         c != nullptr ? hexWord(c->dwCertEncodingType) : outcome(FALSE));
    if (c != nullptr) {
      Context copy(CertDuplicateCertificateContext(c));
      emit("cert/duplicate-is-same-pointer/" + hexWord(type), copy.get() == c ? "yes" : "no");
      copy.reset();
      // The last reference, freed by hand to see what the call returns.
      emit("cert/free/" + hexWord(type), std::to_string(CertFreeCertificateContext(c)));
    }
  }

  Context plain = contextOf(fixture("plain.der"));
  Context again = contextOf(fixture("plain.der"));
  Context other = contextOf(fixture("quotes.der"));
  emit("cert/compare/same", std::to_string(CertCompareCertificate(
                                X509_ASN_ENCODING, plain->pCertInfo, again->pCertInfo)));
  emit("cert/compare/other", std::to_string(CertCompareCertificate(
                                 X509_ASN_ENCODING, plain->pCertInfo, other->pCertInfo)));

  // A key-provider property round trip.
  wchar_t container[] = L"probe container \u4e2d";
  wchar_t provider[] = L"Microsoft Enhanced Cryptographic Provider v1.0";
  CRYPT_KEY_PROV_INFO info{container, provider, PROV_RSA_FULL, 0, 0, nullptr, AT_SIGNATURE};
  emit("cert/set-key-prov-info", outcome(CertSetCertificateContextProperty(
                                     plain.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info)));
  DWORD length = 0;
  if (CertGetCertificateContextProperty(plain.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                        &length)) {
    std::vector<std::uint64_t> storage(length / 8 + 1);
    CertGetCertificateContextProperty(plain.get(), CERT_KEY_PROV_INFO_PROP_ID, storage.data(),
                                      &length);
    const auto* got = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(storage.data());
    auto text = [](const wchar_t* w) {
      std::size_t n = 0;
      while (w != nullptr && w[n] != 0) ++n;
      return utf8(codePoints(w, n));
    };
    emit("cert/get-key-prov-info",
         text(got->pwszContainerName) + "|" + text(got->pwszProvName) + "|" +
             std::to_string(got->dwProvType) + "|" + std::to_string(got->dwFlags) + "|" +
             std::to_string(got->cProvParam) + "|" + std::to_string(got->dwKeySpec));
  } else {
    emit("cert/get-key-prov-info", outcome(FALSE));
  }
  emit("cert/remove-key-prov-info", outcome(CertSetCertificateContextProperty(
                                        plain.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr)));
  emit("cert/key-prov-info-after-remove", property(plain.get(), CERT_KEY_PROV_INFO_PROP_ID));

  // Short and exact buffers for a property.
  BYTE hash[20] = {};
  length = 4;
  BOOL got = CertGetCertificateContextProperty(plain.get(), CERT_SHA1_HASH_PROP_ID, hash, &length);
  emit("cert/sha1-hash-short-buffer", outcome(got) + " length=" + std::to_string(length));
  length = 20;
  got = CertGetCertificateContextProperty(plain.get(), CERT_SHA1_HASH_PROP_ID, hash, &length);
  emit("cert/sha1-hash-exact-buffer", outcome(got) + " length=" + std::to_string(length));

  // Times: what the clock functions make of fixed instants.
  // 1601, 1970, a summer of Taipei's daylight saving time (1979), 2020, the last valid tick and
  // the first invalid one.
  for (std::uint64_t t : {0ull, 116444736000000000ull, 119441088000000000ull, 132223104000000000ull,
                          0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull}) {
    FILETIME ft = fileTime(t);
    emit("time/system/" + std::to_string(t), timeText(ft));
    FILETIME local{};
    BOOL ok = FileTimeToLocalFileTime(&ft, &local);
    emit("time/local/" + std::to_string(t), ok ? std::to_string(ticks(local)) : outcome(FALSE));
  }
  emit("time/lang-id", hexWord(GetSystemDefaultLangID()));
}

}  // namespace probe
