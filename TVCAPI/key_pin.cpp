// Handing a PIN to the provider that holds a key. A PIN the provider has already accepted
// for the same key is not sent again; any other PIN is, so a wrong one is always refused.
// The accepted PIN is kept only while its key and the signing operation last.
#include <cstring>

#include "TVCAPI/report.h"
#include "TVCAPI/tvcapi_internal.h"

namespace {

constexpr std::size_t kCacheSize = 24;

struct PinCache {
  char pin[kCacheSize];
  bool handedOver;
  HCRYPTPROV provider;
  HCRYPTKEY key;
};
PinCache cache{};

void wipe(void* memory, std::size_t size) {
  auto* p = static_cast<volatile unsigned char*>(memory);
  while (size-- != 0) *p++ = 0;
}

bool cachedFor(const TVCAPIKeyRecord& key, const char* pin) {
  return cache.handedOver && cache.provider == key.provider && cache.key == key.key &&
         std::strlen(pin) < kCacheSize && std::strcmp(pin, cache.pin) == 0;
}

}  // namespace

void tvxCAPIWipePinCache() {
  wipe(&cache, sizeof cache);
}

void tvxCAPIForgetPin(const TVCAPIKeyRecord* key) {
  if (key != nullptr && cache.provider == key->provider && cache.key == key->key)
    tvxCAPIWipePinCache();
}

extern "C" int32_t TVXCAPI_SetPrivateKeyPin(TVCAPIHandle* handle, const char* pin,
                                            uint32_t options) {
  if (handle == nullptr || handle->data == nullptr) return TVCAPI_BAD_ARGUMENT;
  if (handle->type != TVCAPI_PRIVATE_KEY) return TVCAPI_WRONG_HANDLE_TYPE;
  const bool providerAsks = (options & TVCAPI_CSP_ASKS_PIN) != 0;
  if (pin == nullptr && !providerAsks) return TVCAPI_BAD_ARGUMENT;
  const auto& key = *static_cast<TVCAPIKeyRecord*>(handle->data);
  if (!providerAsks && cachedFor(key, pin)) return TVCAPI_OK;

  const DWORD parameter = key.keySpec == AT_SIGNATURE ? KP_SIGNATURE_PIN : KP_KEYEXCHANGE_PIN;
  const BYTE* value = providerAsks ? nullptr : reinterpret_cast<const BYTE*>(pin);
  if (!CryptSetKeyParam(key.key, parameter, value, 0)) {
    const DWORD error = GetLastError();
    TVCAPI_REPORT_CALL("TVXCAPI", "TVXCAPI_SetPrivateKeyPin", "CryptSetKeyParam");
    if (error == SCARD_W_WRONG_CHV) return TVCAPI_WRONG_PIN;
    if (error == SCARD_W_CHV_BLOCKED) return TVCAPI_PIN_BLOCKED;
    return TVCAPI_FAILED;
  }
  tvxCAPIWipePinCache();
  // A PIN the cache can't hold whole is handed over every time rather than cut.
  if (!providerAsks && std::strlen(pin) < kCacheSize) {
    std::memcpy(cache.pin, pin, std::strlen(pin) + 1);
    cache.handedOver = true;
    cache.provider = key.provider;
    cache.key = key.key;
  }
  return TVCAPI_OK;
}
