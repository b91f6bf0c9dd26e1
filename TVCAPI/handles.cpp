// The one handle type and the release of what handles, blobs and strings hold.
#include <cstdlib>

#include "TVCAPI/report.h"
#include "TVCAPI/tvcapi_internal.h"

extern "C" int32_t tvxCAPICreateHandle(TVCAPIHandle** out, uint32_t type, void* data,
                                       const TVCAPICoder* coder, const TVCAPIKeyOps* keyOps) {
  if (out == nullptr) return TVCAPI_BAD_ARGUMENT;
  auto* handle = static_cast<TVCAPIHandle*>(std::calloc(1, sizeof(TVCAPIHandle)));
  if (handle == nullptr) {
    TVCAPI_REPORT_NO_MEMORY("TVXCAPI", "tvxCAPICreateHandle");
    return TVCAPI_NO_MEMORY;
  }
  handle->type = type;
  handle->data = data;
  handle->coder = coder;
  handle->keyOps = keyOps;
  *out = handle;
  return TVCAPI_OK;
}

void tvxCAPIReleaseStoreList(StoreList* list) {
  if (list == nullptr) return;
  for (std::uint32_t i = 0; i < list->count && i < kStoreListSlots; ++i)
    if (list->stores[i] != nullptr) CertCloseStore(list->stores[i], 0);
  std::free(list);
}

extern "C" void TVXCAPI_FreeHandle(TVCAPIHandle* handle) {
  if (handle == nullptr) return;
  // A coder's release frees the object by its kind and then the record itself.
  if (handle->coder != nullptr && handle->coder->release != nullptr) {
    handle->coder->release(handle);
    return;
  }
  if (handle->type == TVCAPI_STORE_LIST)
    tvxCAPIReleaseStoreList(static_cast<StoreList*>(handle->data));
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
