// A memory store filled with the certificates that a provider's key containers hold (a smart
// card's certificates, read through its provider), each tied to its container and key spec.
#include <cstdlib>
#include <cstring>

#include "TVCAPI/core_internal.h"

namespace {

constexpr const char* kOperation = "TVXCAPI_LoadStoreFromCSP";
constexpr const char* kMemContainer = "tvMemContainer";
constexpr DWORD kMaxContainerName = 260;
constexpr DWORD kCertificateBuffer = 4096;

std::int32_t failedCall(int line, const char* function, std::int32_t code) {
  tvxCAPICallFailed(kModuleXCAPI, line, kOperation, function);
  return code;
}

// The enumerating context: on the provider's default container, or on a container of our own
// when the provider has none, or the other kind of context when the provider wants it.
std::int32_t acquireEnumerating(const char* providerName, std::uint32_t options,
                                HCRYPTPROV& context, bool& createdMemContainer) {
  const DWORD flags = (options & TVCAPI_CSP_VERIFY_CONTEXT) != 0 ? CRYPT_VERIFYCONTEXT : 0;
  if (CryptAcquireContextA(&context, nullptr, providerName, PROV_RSA_FULL, flags)) return 0;
  const DWORD error = GetLastError();
  if (error == static_cast<DWORD>(NTE_BAD_KEYSET)) {
    if (CryptAcquireContextA(&context, kMemContainer, providerName, PROV_RSA_FULL,
                             CRYPT_NEWKEYSET)) {
      createdMemContainer = true;
      return TVCAPI_OK;
    }
    if (GetLastError() == static_cast<DWORD>(NTE_EXISTS) &&
        CryptAcquireContextA(&context, kMemContainer, providerName, PROV_RSA_FULL, flags)) {
      return TVCAPI_OK;
    }
    return failedCall(__LINE__, "CryptAcquireContextA",
                      GetLastError() == static_cast<DWORD>(SCARD_W_CHV_BLOCKED)
                          ? TVCAPI_PIN_BLOCKED
                          : TVCAPI_NO_CSP_CONTEXT);
  }
  if (error == static_cast<DWORD>(NTE_KEYSET_NOT_DEF)) {
    const DWORD other = flags == CRYPT_VERIFYCONTEXT ? 0 : CRYPT_VERIFYCONTEXT;
    if (CryptAcquireContextA(&context, nullptr, providerName, PROV_RSA_FULL, other)) {
      return TVCAPI_OK;
    }
  }
  return failedCall(__LINE__, "CryptAcquireContextA", TVCAPI_NO_CSP_CONTEXT);
}

std::int32_t acquireContainer(const char* container, const char* providerName,
                              HCRYPTPROV& context) {
  if (CryptAcquireContextA(&context, container, providerName, PROV_RSA_FULL, 0)) return 0;
  const DWORD error = GetLastError();
  if ((error == static_cast<DWORD>(NTE_BAD_KEYSET) &&
       CryptAcquireContextA(&context, container, providerName, PROV_RSA_FULL, CRYPT_NEWKEYSET)) ||
      (error == static_cast<DWORD>(NTE_KEYSET_NOT_DEF) &&
       CryptAcquireContextA(&context, container, providerName, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT))) {
    return TVCAPI_OK;
  }
  return failedCall(__LINE__, "CryptAcquireContextA", TVCAPI_NO_CSP_CONTEXT);
}

// The certificate the provider keeps with a key, into buffer (or a larger allocated one, set in
// allocated); false when the key has none.
bool keyCertificate(HCRYPTKEY key, BYTE* buffer, DWORD& length, BYTE*& allocated) {
  length = kCertificateBuffer;
  if (CryptGetKeyParam(key, KP_CERTIFICATE, buffer, &length, 0)) return true;
  if (GetLastError() != ERROR_MORE_DATA || length == 0) return false;
  allocated = static_cast<BYTE*>(std::malloc(length));
  if (allocated == nullptr) return false;
  return CryptGetKeyParam(key, KP_CERTIFICATE, allocated, &length, 0) != FALSE;
}

// Adds the certificate of the container's key of that spec, if there is one, with a
// key-provider property naming the container and the provider.
std::int32_t addKeyCertificate(HCERTSTORE memory, HCRYPTPROV context, DWORD keySpec,
                               WCHAR* container, WCHAR* provider) {
  HCRYPTKEY key = 0;
  if (!CryptGetUserKey(context, keySpec, &key)) return TVCAPI_OK;
  BYTE buffer[kCertificateBuffer];
  BYTE* allocated = nullptr;
  DWORD length = 0;
  const bool hasCertificate = keyCertificate(key, buffer, length, allocated);
  CryptDestroyKey(key);
  if (!hasCertificate) {
    std::free(allocated);
    return TVCAPI_OK;
  }
  PCCERT_CONTEXT cert = CertCreateCertificateContext(
      X509_ASN_ENCODING, allocated != nullptr ? allocated : buffer, length);
  std::free(allocated);
  if (cert == nullptr) {
    return failedCall(__LINE__, "CertCreateCertificateContext", TVCAPI_BAD_CERTIFICATE);
  }
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = container;
  info.pwszProvName = provider;
  info.dwProvType = PROV_RSA_FULL;
  info.dwKeySpec = keySpec;
  std::int32_t rc = TVCAPI_OK;
  if (!CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
    rc = failedCall(__LINE__, "CertSetCertificateContextProperty", TVCAPI_FAILED);
  } else if (!CertAddCertificateContextToStore(memory, cert, CERT_STORE_ADD_REPLACE_EXISTING,
                                               nullptr)) {
    rc = failedCall(__LINE__, "CertAddCertificateContextToStore", TVCAPI_FAILED);
  }
  CertFreeCertificateContext(cert);
  return rc;
}

std::int32_t addContainer(HCERTSTORE memory, const char* container, const char* providerName,
                          std::uint32_t options) {
  HCRYPTPROV context = 0;
  std::int32_t rc = acquireContainer(container, providerName, context);
  if (rc != TVCAPI_OK) return rc;
  WCHAR* wideContainer = tvxCAPIWideText(container);
  WCHAR* wideProvider = tvxCAPIWideText(providerName);
  if (wideContainer == nullptr || wideProvider == nullptr) {
    rc = tvxCAPIOutOfMemory(kModuleXCAPI, __LINE__, kOperation);
  } else {
    rc = addKeyCertificate(memory, context, AT_KEYEXCHANGE, wideContainer, wideProvider);
    if (rc == TVCAPI_OK && (options & TVCAPI_CSP_EXCHANGE_KEY_ONLY) == 0) {
      rc = addKeyCertificate(memory, context, AT_SIGNATURE, wideContainer, wideProvider);
    }
  }
  TVXCAPI_Free(wideContainer);
  TVXCAPI_Free(wideProvider);
  CryptReleaseContext(context, 0);
  return rc;
}

std::int32_t fillFromContainers(HCERTSTORE memory, HCRYPTPROV enumerating, const char* providerName,
                                std::uint32_t options) {
  // One byte beyond the length handed over keeps every name terminated.
  char name[kMaxContainerName + 1];
  DWORD flags = CRYPT_FIRST;
  while (true) {
    std::memset(name, 0, sizeof name);
    DWORD length = kMaxContainerName;
    if (!CryptGetProvParam(enumerating, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &length,
                           flags)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) return TVCAPI_OK;
      return failedCall(__LINE__, "CryptGetProvParam", TVCAPI_FAILED);
    }
    flags = 0;
    const std::int32_t rc = addContainer(memory, name, providerName, options);
    if (rc != TVCAPI_OK) return rc;
  }
}

}  // namespace

extern "C" int32_t TVXCAPI_LoadStoreFromCSP(TVCAPIHandle** out, const char* providerName,
                                            uint32_t options) {
  if (out == nullptr || providerName == nullptr) return TVCAPI_BAD_ARGUMENT;
  StoreList* list = tvxCAPINewStoreList();
  if (list == nullptr) return tvxCAPIOutOfMemory(kModuleXCAPI, __LINE__, kOperation);
  HCRYPTPROV enumerating = 0;
  bool createdMemContainer = false;
  std::int32_t rc = acquireEnumerating(providerName, options, enumerating, createdMemContainer);
  if (rc == TVCAPI_OK) {
    HCERTSTORE memory =
        CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                      CERT_STORE_CREATE_NEW_FLAG, nullptr);
    if (memory == nullptr) {
      rc = failedCall(__LINE__, "CertOpenStore", TVCAPI_NO_MEMORY_STORE);
    } else {
      tvxCAPIAppendStore(list, memory);
      rc = fillFromContainers(memory, enumerating, providerName, options);
    }
  }
  if (enumerating != 0) CryptReleaseContext(enumerating, 0);
  if (createdMemContainer) {
    HCRYPTPROV removed = 0;
    CryptAcquireContextA(&removed, kMemContainer, providerName, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
  }
  if (rc != TVCAPI_OK) {
    tvxCAPIReleaseStoreList(list);
    return rc;
  }
  return tvxCAPIWrapStoreList(list, out);
}
