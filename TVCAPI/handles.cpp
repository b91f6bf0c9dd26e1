// The one handle type: creation, the checks every operation makes, and release by kind.
#include <cstdlib>

#include "TVCAPI/core_internal.h"

extern "C" int32_t tvxCAPICreateHandle(TVCAPIHandle** out, uint32_t type, void* data,
                                       const TVCAPICoder* coder, const TVCAPIKeyOps* keyOps) {
  if (out == nullptr) return TVCAPI_BAD_ARGUMENT;
  auto* handle = static_cast<TVCAPIHandle*>(std::malloc(sizeof(TVCAPIHandle)));
  if (handle == nullptr) return tvxCAPIOutOfMemory(kModuleLib, __LINE__, "tvxCAPICreateHandle");
  handle->type = type;
  handle->data = data;
  handle->coder = coder;
  handle->keyOps = keyOps;
  *out = handle;
  return TVCAPI_OK;
}

std::int32_t tvxCAPICheckHandle(const TVCAPIHandle* handle, std::uint32_t type) {
  if (handle == nullptr || handle->data == nullptr) return TVCAPI_BAD_ARGUMENT;
  if (handle->type != type) return TVCAPI_WRONG_HANDLE_TYPE;
  return TVCAPI_OK;
}

// A handle made without a coder table still owns its object, so it is released by its kind.
extern "C" void TVXCAPI_FreeHandle(TVCAPIHandle* handle) {
  if (handle == nullptr) return;
  if (handle->coder != nullptr && handle->coder->release != nullptr) {
    handle->coder->release(handle);
    return;
  }
  if (handle->data != nullptr) {
    switch (handle->type) {
      case TVCAPI_STORE_LIST:
        tvxCAPIReleaseStoreList(static_cast<StoreList*>(handle->data));
        break;
      case TVCAPI_CERTIFICATE:
        CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(handle->data));
        break;
      case TVCAPI_PRIVATE_KEY:
      case TVCAPI_PUBLIC_KEY:
        tvxCAPIReleaseKeyRecord(static_cast<TVCAPIKeyRecord*>(handle->data));
        break;
      default:
        break;
    }
  }
  std::free(handle);
}

extern "C" void TVXCAPI_FreeBlob(TVCAPI_BLOB* blob) {
  if (blob == nullptr) return;
  std::free(blob->data);
  blob->data = nullptr;
  blob->count = 0;
}

extern "C" void TVXCAPI_Free(void* memory) {
  std::free(memory);
}
