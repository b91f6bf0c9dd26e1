// The object of a key handle: the provider context, the key and its spec, released together.
#include <cstdlib>

#include "TVCAPI/core_internal.h"

TVCAPIKeyRecord* tvxCAPINewKeyRecord(HCRYPTPROV provider, HCRYPTKEY key, DWORD keySpec) {
  auto* record = static_cast<TVCAPIKeyRecord*>(std::malloc(sizeof(TVCAPIKeyRecord)));
  if (record == nullptr) return nullptr;
  record->provider = provider;
  record->key = key;
  record->keySpec = keySpec;
  return record;
}

void tvxCAPIReleaseKeyRecord(TVCAPIKeyRecord* record) {
  if (record == nullptr) return;
  tvxCAPIForgetPinOf(record);
  if (record->key != 0) CryptDestroyKey(record->key);
  tvxCAPIReleaseContext(record->provider);
  std::free(record);
}
