// Handing a key's PIN to its provider, with a cache that spares the provider (a card) a second
// verification of the very PIN it has just accepted for the very same key.
#include <cstring>

#include "TVCAPI/core_internal.h"

namespace {

// The cache holds at most 23 characters and a zero; a longer PIN is never cached, so it always
// reaches the provider (cutting it would let another PIN with the same start pass unchecked).
constexpr std::size_t kPinCacheBytes = 24;

struct PinCache {
  char pin[kPinCacheBytes];
  std::size_t length;
  const TVCAPIKeyRecord* record;  // the key the provider accepted the PIN for
  HCRYPTPROV provider;
  HCRYPTKEY key;
  bool held;
};

PinCache cache;

bool sameBytes(const char* a, const char* b, std::size_t length) {
  unsigned char difference = 0;
  for (std::size_t i = 0; i < length; ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

bool acceptedBefore(const TVCAPIKeyRecord* record, const char* pin, std::size_t length) {
  return cache.held && cache.record == record && cache.provider == record->provider &&
         cache.key == record->key && cache.length == length && sameBytes(cache.pin, pin, length);
}

void remember(const TVCAPIKeyRecord* record, const char* pin, std::size_t length) {
  tvxCAPIForgetPin();
  if (length >= kPinCacheBytes) return;
  std::memcpy(cache.pin, pin, length);
  cache.length = length;
  cache.record = record;
  cache.provider = record->provider;
  cache.key = record->key;
  cache.held = true;
}

}  // namespace

void tvxCAPIForgetPin() {
  tvxCAPISecureZero(&cache, sizeof cache);
}

bool tvxCAPIPinCacheHeld() {
  return cache.held;
}

void tvxCAPIForgetPinOf(const TVCAPIKeyRecord* record) {
  if (record != nullptr && cache.record == record) tvxCAPIForgetPin();
}

extern "C" int32_t TVXCAPI_SetPrivateKeyPin(TVCAPIHandle* key, const char* pin, uint32_t options) {
  const std::int32_t checked = tvxCAPICheckHandle(key, TVCAPI_PRIVATE_KEY);
  if (checked != TVCAPI_OK) return checked;
  if (pin == nullptr) return TVCAPI_BAD_ARGUMENT;
  const auto* record = static_cast<const TVCAPIKeyRecord*>(key->data);
  const bool providerAsks = (options & TVCAPI_CSP_ASKS_PIN) != 0;
  const std::size_t length = strnlen(pin, kPinCacheBytes);
  if (!providerAsks && acceptedBefore(record, pin, length)) return TVCAPI_OK;

  const DWORD parameter = record->keySpec == AT_SIGNATURE ? KP_SIGNATURE_PIN : KP_KEYEXCHANGE_PIN;
  const BYTE* value = providerAsks ? nullptr : reinterpret_cast<const BYTE*>(pin);
  if (!CryptSetKeyParam(record->key, parameter, value, 0)) {
    // A provider without PINs (a software key set) refuses the parameter itself: with no PIN
    // given there is nothing to hand over, and its key is usable as it is.
    if (GetLastError() == static_cast<DWORD>(NTE_BAD_TYPE) && (providerAsks || length == 0)) {
      return TVCAPI_OK;
    }
    tvxCAPICallFailed(kModuleXCAPI, __LINE__, "TVXCAPI_SetPrivateKeyPin", "CryptSetKeyParam");
    switch (GetLastError()) {
      case static_cast<DWORD>(SCARD_W_WRONG_CHV):
        return TVCAPI_WRONG_PIN;
      case static_cast<DWORD>(SCARD_W_CHV_BLOCKED):
        return TVCAPI_PIN_BLOCKED;
      default:
        return TVCAPI_FAILED;
    }
  }
  // A PIN the provider obtained itself is not known here; the text given along is not cached.
  if (!providerAsks) remember(record, pin, length);
  return TVCAPI_OK;
}
