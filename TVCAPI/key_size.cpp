// A key's modulus size in bytes, from the bit length its provider reports.
#include "TVCAPI/core_internal.h"

std::int32_t tvxCAPIKeyBytes(const TVCAPIKeyRecord* record) {
  if (record == nullptr) return -1;
  BYTE value[4] = {};
  DWORD length = sizeof value;
  if (!CryptGetKeyParam(record->key, KP_KEYLEN, value, &length, 0)) return -1;
  // Only the bytes the provider wrote count, least significant first.
  std::uint32_t bits = 0;
  for (DWORD i = length < sizeof value ? length : sizeof value; i-- > 0;) {
    bits = (bits << 8) | value[i];
  }
  if (bits == 0 || bits > 0x7FFFFFF0u) return -1;
  return static_cast<std::int32_t>((bits + 7) / 8);
}

extern "C" int32_t TVXCAPI_KeySize(TVCAPIHandle* key) {
  if (key == nullptr || key->data == nullptr) return -1;
  if (key->type != TVCAPI_PRIVATE_KEY && key->type != TVCAPI_PUBLIC_KEY) return -1;
  return tvxCAPIKeyBytes(static_cast<const TVCAPIKeyRecord*>(key->data));
}
