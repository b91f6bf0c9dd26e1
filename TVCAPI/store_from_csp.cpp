// A memory store filled with the certificates that a provider's key containers hold, each
// with a key-provider property naming its container, so its private key can be had later.
#include <cstdlib>
#include <cstring>
#include <string>

#include "TVCAPI/report.h"
#include "TVCAPI/tvcapi_internal.h"

namespace {

constexpr char kOperation[] = "TVXCAPI_LoadStoreFromCSP";
constexpr char kMemContainer[] = "tvMemContainer";
constexpr DWORD kCertificateBuffer = 4096;

// Releases a provider context when it goes out of scope.
struct Context {
  HCRYPTPROV handle = 0;
  ~Context() {
    if (handle != 0) CryptReleaseContext(handle, 0);
  }
};

std::wstring wide(const char* text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length <= 0) return {};
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), length) != length) return {};
  out.pop_back();
  return out;
}

// Step 1: the enumerating context, with the temporary container where the provider wants one.
std::int32_t acquireEnumerating(Context& context, const char* provider, bool verify,
                                bool& madeMemContainer) {
  const DWORD first = verify ? CRYPT_VERIFYCONTEXT : 0;
  if (CryptAcquireContextA(&context.handle, nullptr, provider, PROV_RSA_FULL, first)) return 0;
  DWORD error = GetLastError();
  if (error == NTE_BAD_KEYSET) {
    if (CryptAcquireContextA(&context.handle, kMemContainer, provider, PROV_RSA_FULL,
                             CRYPT_NEWKEYSET)) {
      madeMemContainer = true;
      return 0;
    }
    error = GetLastError();
    if (error == NTE_EXISTS &&
        CryptAcquireContextA(&context.handle, kMemContainer, provider, PROV_RSA_FULL, first))
      return 0;
    if (error == NTE_EXISTS) error = GetLastError();
    TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CryptAcquireContextA");
    return error == SCARD_W_CHV_BLOCKED ? TVCAPI_PIN_BLOCKED : TVCAPI_NO_CSP_CONTEXT;
  }
  if (error == NTE_KEYSET_NOT_DEF) {
    const DWORD opposite = verify ? 0 : CRYPT_VERIFYCONTEXT;
    if (CryptAcquireContextA(&context.handle, nullptr, provider, PROV_RSA_FULL, opposite)) return 0;
  }
  TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CryptAcquireContextA");
  return TVCAPI_NO_CSP_CONTEXT;
}

// Step 3.2: a container's certificate for one key spec, added with its key-provider property.
std::int32_t addContainerCertificate(HCRYPTPROV container, DWORD keySpec, HCERTSTORE store,
                                     std::wstring& containerName, std::wstring& providerName) {
  HCRYPTKEY key = 0;
  if (!CryptGetUserKey(container, keySpec, &key)) return 0;  // no such key: passed over
  auto* certificate = static_cast<BYTE*>(std::malloc(kCertificateBuffer));
  if (certificate == nullptr) {
    CryptDestroyKey(key);
    TVCAPI_REPORT_NO_MEMORY("TVXCAPI", kOperation);
    return TVCAPI_NO_MEMORY;
  }
  DWORD length = kCertificateBuffer;
  std::int32_t code = 0;
  if (CryptGetKeyParam(key, KP_CERTIFICATE, certificate, &length, 0)) {
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, certificate, length);
    if (context == nullptr) {
      TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CertCreateCertificateContext");
      code = TVCAPI_BAD_CERTIFICATE;
    } else {
      CRYPT_KEY_PROV_INFO info{};
      info.pwszContainerName = containerName.data();
      info.pwszProvName = providerName.data();
      info.dwProvType = PROV_RSA_FULL;
      info.dwKeySpec = keySpec;
      if (!CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
        TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CertSetCertificateContextProperty");
        code = TVCAPI_FAILED;
      } else if (!CertAddCertificateContextToStore(store, context, CERT_STORE_ADD_REPLACE_EXISTING,
                                                   nullptr)) {
        TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CertAddCertificateContextToStore");
        code = TVCAPI_FAILED;
      }
      CertFreeCertificateContext(context);
    }
  }
  std::free(certificate);
  CryptDestroyKey(key);
  return code;
}

std::int32_t fillFromContainers(HCRYPTPROV enumerating, const char* provider, HCERTSTORE store,
                                std::uint32_t options) {
  std::wstring providerName = wide(provider);
  for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
    char name[260] = {};
    DWORD length = sizeof name;
    if (!CryptGetProvParam(enumerating, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &length,
                           flags)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) return 0;
      TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CryptGetProvParam");
      return TVCAPI_FAILED;
    }
    name[sizeof name - 1] = '\0';
    Context container;
    if (!CryptAcquireContextA(&container.handle, name, provider, PROV_RSA_FULL, 0)) {
      const DWORD error = GetLastError();
      const bool retried =
          (error == NTE_BAD_KEYSET && CryptAcquireContextA(&container.handle, name, provider,
                                                           PROV_RSA_FULL, CRYPT_NEWKEYSET)) ||
          (error == NTE_KEYSET_NOT_DEF && CryptAcquireContextA(&container.handle, name, provider,
                                                               PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
      if (!retried) {
        TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CryptAcquireContextA");
        return TVCAPI_NO_CSP_CONTEXT;
      }
    }
    std::wstring containerName = wide(name);
    for (DWORD keySpec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
      if (keySpec == AT_SIGNATURE && (options & TVCAPI_CSP_EXCHANGE_KEY_ONLY) != 0) continue;
      if (const std::int32_t code = addContainerCertificate(container.handle, keySpec, store,
                                                            containerName, providerName);
          code != 0)
        return code;
    }
  }
}

}  // namespace

extern "C" int32_t TVXCAPI_LoadStoreFromCSP(TVCAPIHandle** out, const char* providerName,
                                            uint32_t options) {
  if (out == nullptr || providerName == nullptr) return TVCAPI_BAD_ARGUMENT;
  auto* list = static_cast<StoreList*>(std::calloc(1, sizeof(StoreList)));
  if (list == nullptr) {
    TVCAPI_REPORT_NO_MEMORY("TVXCAPI", kOperation);
    return TVCAPI_NO_MEMORY;
  }
  bool madeMemContainer = false;
  std::int32_t code = 0;
  {
    Context enumerating;
    code = acquireEnumerating(enumerating, providerName, (options & TVCAPI_CSP_VERIFY_CONTEXT) != 0,
                              madeMemContainer);
    if (code == 0) {
      HCERTSTORE store =
          CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                        CERT_STORE_CREATE_NEW_FLAG, nullptr);
      if (store == nullptr) {
        TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CertOpenStore");
        code = TVCAPI_NO_MEMORY_STORE;
      } else {
        list->stores[list->count++] = store;
        code = fillFromContainers(enumerating.handle, providerName, store, options);
      }
    }
  }
  if (madeMemContainer) {
    HCRYPTPROV deleted = 0;
    CryptAcquireContextA(&deleted, kMemContainer, providerName, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
  }
  if (code != 0) {
    tvxCAPIReleaseStoreList(list);
    return code;
  }
  code = tvxCAPICreateHandle(out, TVCAPI_STORE_LIST, list, nullptr, nullptr);
  if (code != 0) tvxCAPIReleaseStoreList(list);
  return code;
}
