// The private key of a certificate: the provider and container that its key-provider property
// names, and the key of its spec there.
#include "TVCAPI/core_internal.h"

namespace {
constexpr const char* kOperation = "TVXCAPI_GetPrivateKey";

// A null name in the property means the provider's default; a name that converts to nothing
// is an error.
bool narrowName(const WCHAR* wide, char*& text) {
  text = nullptr;
  if (wide == nullptr) return true;
  text = tvxCAPINarrowText(wide);
  return text != nullptr;
}
}  // namespace

extern "C" int32_t TVXCAPI_GetPrivateKey(TVCAPIHandle* cert, TVCAPIHandle** key) {
  const std::int32_t checked = tvxCAPICheckHandle(cert, TVCAPI_CERTIFICATE);
  if (checked != TVCAPI_OK) return checked;
  if (key == nullptr) return TVCAPI_BAD_ARGUMENT;
  CRYPT_KEY_PROV_INFO* info = nullptr;
  std::int32_t rc = tvxCAPIKeyProvInfo(static_cast<PCCERT_CONTEXT>(cert->data), kOperation, &info);
  if (rc != TVCAPI_OK) return rc;
  char* container = nullptr;
  char* provider = nullptr;
  const bool named =
      narrowName(info->pwszContainerName, container) && narrowName(info->pwszProvName, provider);
  const DWORD providerType = info->dwProvType;
  const DWORD keySpec = info->dwKeySpec;
  TVXCAPI_Free(info);
  HCRYPTPROV context = 0;
  if (!named) {
    rc = TVCAPI_FAILED;
  } else if (!CryptAcquireContextA(&context, container, provider, providerType, 0)) {
    tvxCAPICallFailed(kModuleXCAPI, __LINE__, kOperation, "CryptAcquireContextA");
    rc = TVCAPI_NO_CSP_CONTEXT;
  }
  TVXCAPI_Free(container);
  TVXCAPI_Free(provider);
  if (rc != TVCAPI_OK) return rc;

  HCRYPTKEY userKey = 0;
  if (!CryptGetUserKey(context, keySpec, &userKey)) {
    tvxCAPICallFailed(kModuleXCAPI, __LINE__, kOperation, "CryptGetUserKey");
    CryptReleaseContext(context, 0);
    return TVCAPI_FAILED;
  }
  TVCAPIKeyRecord* record = tvxCAPINewKeyRecord(context, userKey, keySpec);
  if (record == nullptr) {
    CryptDestroyKey(userKey);
    CryptReleaseContext(context, 0);
    return tvxCAPIOutOfMemory(kModuleXCAPI, __LINE__, kOperation);
  }
  rc = tvxCAPICreateHandle(key, TVCAPI_PRIVATE_KEY, record, &tvxCAPIPrivateKeyCoder,
                           &tvxCAPIPrivateKeyOps);
  if (rc != TVCAPI_OK) tvxCAPIReleaseKeyRecord(record);
  return rc;
}
