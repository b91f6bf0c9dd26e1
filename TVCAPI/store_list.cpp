// The store list of a store handle: at most nine open stores, closed together.
#include <cstdlib>

#include "TVCAPI/core_internal.h"

StoreList* tvxCAPINewStoreList() {
  return static_cast<StoreList*>(std::calloc(1, sizeof(StoreList)));
}

bool tvxCAPIAppendStore(StoreList* list, HCERTSTORE store) {
  if (list == nullptr || store == nullptr || list->count >= kStoreListSlots) return false;
  list->stores[list->count++] = store;
  return true;
}

// Closing without the force flag leaves certificate contexts taken out of the stores valid.
void tvxCAPIReleaseStoreList(StoreList* list) {
  if (list == nullptr) return;
  const std::uint32_t count = list->count < kStoreListSlots ? list->count : kStoreListSlots;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (list->stores[i] != nullptr) CertCloseStore(list->stores[i], 0);
  }
  std::free(list);
}

std::int32_t tvxCAPIWrapStoreList(StoreList* list, TVCAPIHandle** out) {
  TVCAPIHandle* handle = nullptr;
  const std::int32_t rc = tvxCAPICreateHandle(&handle, TVCAPI_STORE_LIST, list, nullptr, nullptr);
  if (rc != TVCAPI_OK) {
    tvxCAPIReleaseStoreList(list);
    return rc;
  }
  *out = handle;
  return TVCAPI_OK;
}
