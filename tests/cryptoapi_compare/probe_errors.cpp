// Last-error codes after bad arguments: provider names and types, containers, handles, key
// blobs, certificate bytes, names.
#include <random>
#include <string>

#include "tests/cryptoapi_compare/probe.h"

namespace probe {
namespace {

std::string acquire(const char* container, const char* provider, DWORD type, DWORD flags) {
  // What a failed call leaves in the handle is undocumented: only the outcome is compared.
  ProviderHandle prov;
  SetLastError(0);
  return outcome(CryptAcquireContextA(prov.put(), container, provider, type, flags));
}

void probeAcquireErrors() {
  emit("error/acquire/enhanced-type-24",
       acquire(nullptr, MS_ENHANCED_PROV_A, 24, CRYPT_VERIFYCONTEXT));
  emit("error/acquire/enhanced-type-0",
       acquire(nullptr, MS_ENHANCED_PROV_A, 0, CRYPT_VERIFYCONTEXT));
  emit("error/acquire/default-type-999", acquire(nullptr, nullptr, 999, CRYPT_VERIFYCONTEXT));
  emit("error/acquire/unknown-provider",
       acquire(nullptr, "No Such Provider v0", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  emit("error/acquire/bad-flags", acquire(nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0x4000));
  emit("error/acquire/unknown-container",
       acquire("kestrune-probe-no-such-container", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
  SetLastError(0);
  emit("error/acquire/null-handle",
       outcome(CryptAcquireContextA(nullptr, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                    CRYPT_VERIFYCONTEXT)));
  emit("error/release/zero", outcome(CryptReleaseContext(0, 0)));
  emit("error/destroy-key/zero", outcome(CryptDestroyKey(0)));
  emit("error/destroy-hash/zero", outcome(CryptDestroyHash(0)));
}

// A container's life: made, made again, opened, its keys, deleted, opened again. The name is
// the run's own, so that two runs never share one.
void probeContainerLife() {
  std::random_device random;
  const std::string name = "kestrune-probe-" + std::to_string(random()) + std::to_string(random());
  emit("error/container/new",
       acquire(name.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  emit("error/container/new-again",
       acquire(name.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  {
    ProviderHandle prov;
    if (!CryptAcquireContextA(prov.put(), name.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0)) {
      emit("error/container/open", outcome(FALSE));
      return;
    }
    char text[128] = {};
    DWORD length = sizeof text;
    BOOL ok =
        CryptGetProvParam(prov.get(), PP_CONTAINER, reinterpret_cast<BYTE*>(text), &length, 0);
    emit("error/container/pp-container",
         ok ? (name == text ? std::string("the name") : escaped(text)) : outcome(FALSE));
    length = 4;
    ok = CryptGetProvParam(prov.get(), PP_CONTAINER, reinterpret_cast<BYTE*>(text), &length, 0);
    emit("error/container/pp-container-short",
         outcome(ok) + " length-is-name-plus-1=" + (length == name.size() + 1 ? "yes" : "no"));
    KeyHandle key;
    emit("error/container/no-signature-key",
         outcome(CryptGetUserKey(prov.get(), AT_SIGNATURE, key.put())));
    emit("error/container/no-exchange-key",
         outcome(CryptGetUserKey(prov.get(), AT_KEYEXCHANGE, key.put())));
    emit("error/container/bad-key-spec", outcome(CryptGetUserKey(prov.get(), 7, key.put())));
    length = sizeof text;
    emit("error/container/unknown-prov-param",
         outcome(CryptGetProvParam(prov.get(), 99, reinterpret_cast<BYTE*>(text), &length, 0)));
  }
  HCRYPTPROV deleted = 0x55;
  BOOL gone = CryptAcquireContextA(&deleted, name.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                   CRYPT_DELETEKEYSET);
  emit("error/container/delete", outcome(gone) + " handle=" + std::to_string(deleted));
  emit("error/container/open-deleted", acquire(name.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
}

void probeKeyBlobErrors(HCRYPTPROV prov) {
  const Bytes& blob = fixture("key_exchange.blob");
  struct BadBlob {
    const char* label;
    Bytes bytes;
  };
  Bytes wrongType = blob;
  wrongType[0] = 0x42;
  Bytes wrongVersion = blob;
  wrongVersion[1] = 9;
  Bytes wrongMagic = blob;
  wrongMagic[8] = 'X';
  const BadBlob badBlobs[] = {{"truncated", Bytes(blob.begin(), blob.begin() + 40)},
                              {"header-only", Bytes(blob.begin(), blob.begin() + 8)},
                              {"wrong-type", wrongType},
                              {"wrong-version", wrongVersion},
                              {"wrong-magic", wrongMagic}};
  for (const BadBlob& bad : badBlobs) {
    KeyHandle key;
    SetLastError(0);
    emit(std::string("error/import/") + bad.label,
         outcome(CryptImportKey(prov, bad.bytes.data(), static_cast<DWORD>(bad.bytes.size()), 0, 0,
                                key.put())));
  }

  // Not exportable: the private blob is refused, the public one given.
  KeyHandle key;
  if (!CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, key.put())) {
    emit("error/import/not-exportable", outcome(FALSE));
    return;
  }
  DWORD length = 0;
  emit("error/export/private-not-exportable",
       outcome(CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &length)));
  length = 8;
  BYTE small[8];
  emit("error/export/public-short-buffer",
       outcome(CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, small, &length)) +
           " length=" + std::to_string(length));
  emit("error/export/bad-type", outcome(CryptExportKey(key.get(), 0, 0x42, 0, nullptr, &length)));
  BYTE value[64];
  length = sizeof value;
  emit("error/key/certificate-param",
       outcome(CryptGetKeyParam(key.get(), KP_CERTIFICATE, value, &length, 0)));
  const BYTE pin[] = "0000";
  emit("error/key/signature-pin", outcome(CryptSetKeyParam(key.get(), KP_SIGNATURE_PIN, pin, 0)));
  length = sizeof value;
  emit("error/key/unknown-param", outcome(CryptGetKeyParam(key.get(), 999, value, &length, 0)));
}

// A verify context: no container, no keys.
void probeVerifyContextErrors() {
  ProviderHandle prov;
  if (!CryptAcquireContextA(prov.put(), nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT)) {
    emit("error/verify-context/acquire", outcome(FALSE));
    return;
  }
  char text[128] = {};
  DWORD length = sizeof text;
  BOOL ok = CryptGetProvParam(prov.get(), PP_CONTAINER, reinterpret_cast<BYTE*>(text), &length, 0);
  emit("error/verify-context/pp-container", ok ? "ok:" + escaped(text) : outcome(FALSE));
  KeyHandle key;
  emit("error/verify-context/user-key",
       outcome(CryptGetUserKey(prov.get(), AT_SIGNATURE, key.put())));
  HashHandle hash;
  emit("error/verify-context/bad-hash-algorithm",
       outcome(CryptCreateHash(prov.get(), 0x1234, 0, 0, hash.put())));
  if (CryptCreateHash(prov.get(), CALG_SHA1, 0, 0, hash.put())) {
    BYTE sig[256];
    length = sizeof sig;
    emit("error/verify-context/sign-without-key",
         outcome(CryptSignHashA(hash.get(), AT_SIGNATURE, nullptr, 0, sig, &length)));
  }
  probeKeyBlobErrors(prov.get());
}

void probeCertificateErrors() {
  const Bytes& der = fixture("plain.der");
  Bytes trailing = der;
  trailing.push_back(0);
  struct BadCert {
    const char* label;
    DWORD type;
    Bytes bytes;
  };
  const BadCert badCerts[] = {
      {"garbage", X509_ASN_ENCODING, Bytes{0x30, 0x03, 0x01, 0x02, 0x03}},
      {"truncated", X509_ASN_ENCODING, Bytes(der.begin(), der.begin() + der.size() / 2)},
      {"not-a-sequence", X509_ASN_ENCODING, Bytes{0x04, 0x01, 0x00}},
      {"trailing-byte", X509_ASN_ENCODING, trailing},
      {"encoding-0", 0, der},
      {"encoding-pkcs7-only", PKCS_7_ASN_ENCODING, der}};
  for (const BadCert& bad : badCerts) {
    SetLastError(0);
    Context c(CertCreateCertificateContext(bad.type, bad.bytes.data(),
                                           static_cast<DWORD>(bad.bytes.size())));
    emit(std::string("error/certificate/") + bad.label, c ? "ok" : "fail:" + lastError());
  }
  SetLastError(0);
  Context none(CertCreateCertificateContext(X509_ASN_ENCODING, nullptr, 0));
  emit("error/certificate/empty", none ? "ok" : "fail:" + lastError());

  Context plain = contextOf(der);
  for (DWORD type : {0u, 4u, 99u}) {
    char text[64] = "untouched";
    SetLastError(0);
    DWORD n =
        CertNameToStrA(X509_ASN_ENCODING, &plain->pCertInfo->Subject, type, text, sizeof text);
    emit("error/name-to-str/type-" + std::to_string(type),
         std::to_string(n) + " " + escaped(text) + " err=" + lastError());
  }
  BYTE brokenName[] = {0x30, 0x05, 0x31};
  CERT_NAME_BLOB broken{sizeof brokenName, brokenName};
  char text[64] = "untouched";
  SetLastError(0);
  DWORD n = CertNameToStrA(X509_ASN_ENCODING, &broken, CERT_X500_NAME_STR, text, sizeof text);
  emit("error/name-to-str/broken-name",
       std::to_string(n) + " " + escaped(text) + " err=" + lastError());
  DWORD size = 0;
  SetLastError(0);
  emit("error/decode/broken-name",
       outcome(CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, broken.pbData, broken.cbData, 0,
                                 nullptr, &size)));
  BYTE small[4];
  size = sizeof small;
  emit("error/decode/name-short-buffer",
       outcome(CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, plain->pCertInfo->Subject.pbData,
                                 plain->pCertInfo->Subject.cbData, 0, small, &size)));
  size = 0;
  emit("error/property/unknown-id",
       outcome(CertGetCertificateContextProperty(plain.get(), 12345, nullptr, &size)));
  StoreHandle store(CertOpenStore(reinterpret_cast<LPCSTR>(77), 0, 0, 0, nullptr));
  emit("error/store/open-unknown-provider", store ? "ok" : "fail:" + lastError());
}

}  // namespace

void probeErrors() {
  probeAcquireErrors();
  probeContainerLife();
  probeVerifyContextErrors();
  probeCertificateErrors();
}

}  // namespace probe
