// RSA PKCS#1 v1.5 encryption with a public key and decryption with a private one; ciphertexts
// are exchanged most significant byte first.
#include <cstdlib>

#include "TVCAPI/core_internal.h"

namespace {
constexpr std::uint32_t kPaddingBytes = 11;
}  // namespace

extern "C" int32_t TVXCAPI_PublicEncrypt(TVCAPIHandle* key, const uint8_t* data, uint32_t length,
                                         uint32_t, TVCAPI_BLOB* blob) {
  const std::int32_t checked = tvxCAPICheckHandle(key, TVCAPI_PUBLIC_KEY);
  if (checked != TVCAPI_OK) return checked;
  if (blob == nullptr || (data == nullptr && length != 0)) return TVCAPI_BAD_ARGUMENT;
  const std::int32_t keyBytes = key->keyOps != nullptr && key->keyOps->keySize != nullptr
                                    ? key->keyOps->keySize(key)
                                    : TVXCAPI_KeySize(key);
  if (keyBytes <= static_cast<std::int32_t>(kPaddingBytes) ||
      length > static_cast<std::uint32_t>(keyBytes) - kPaddingBytes) {
    return TVCAPI_BAD_ARGUMENT;
  }
  const auto size = static_cast<std::uint32_t>(keyBytes);
  BYTE* buffer = blob->data;
  const bool own = buffer == nullptr;
  if (own) {
    buffer = static_cast<BYTE*>(std::malloc(size));
    if (buffer == nullptr) {
      return tvxCAPIOutOfMemory(kModuleCipher, __LINE__, "TVXCAPI_PublicEncrypt");
    }
  } else if (blob->count < size) {
    blob->count = size;
    return TVCAPI_BUFFER_TOO_SMALL;
  }
  for (std::uint32_t i = 0; i < length; ++i) buffer[i] = data[i];
  DWORD produced = length;
  const auto* record = static_cast<const TVCAPIKeyRecord*>(key->data);
  if (!CryptEncrypt(record->key, 0, TRUE, 0, buffer, &produced, size) || produced > size) {
    tvxCAPICallFailed(kModuleCipher, __LINE__, "TVXCAPI_PublicEncrypt", "CryptEncrypt");
    if (own) std::free(buffer);
    return TVCAPI_ENCRYPT_FAILED;
  }
  tvxCAPIReverse(buffer, produced);
  blob->data = buffer;
  blob->count = produced;
  return TVCAPI_OK;
}

// The plaintext may be secret: what a failed decryption left in an own buffer is wiped.
extern "C" int32_t TVXCAPI_PrivateDecrypt(TVCAPIHandle* key, const uint8_t* ciphertext,
                                          uint32_t length, uint32_t, TVCAPI_BLOB* blob) {
  const std::int32_t checked = tvxCAPICheckHandle(key, TVCAPI_PRIVATE_KEY);
  if (checked != TVCAPI_OK) return checked;
  if (blob == nullptr || ciphertext == nullptr || length == 0) return TVCAPI_BAD_ARGUMENT;
  BYTE* buffer = blob->data;
  const bool own = buffer == nullptr;
  std::size_t capacity = blob->count;
  if (own) {
    capacity = std::size_t{length} + 1;
    buffer = static_cast<BYTE*>(std::malloc(capacity));
    if (buffer == nullptr) {
      return tvxCAPIOutOfMemory(kModuleCipher, __LINE__, "TVXCAPI_PrivateDecrypt");
    }
  } else if (capacity < length) {
    // The ciphertext is decrypted in place, so the buffer must hold it whole.
    blob->count = length;
    return TVCAPI_BUFFER_TOO_SMALL;
  }
  for (std::uint32_t i = 0; i < length; ++i) buffer[i] = ciphertext[length - 1 - i];
  DWORD produced = length;
  const auto* record = static_cast<const TVCAPIKeyRecord*>(key->data);
  if (!CryptDecrypt(record->key, 0, TRUE, 0, buffer, &produced) || produced > length) {
    const DWORD error = GetLastError();
    tvxCAPICallFailed(kModuleCipher, __LINE__, "TVXCAPI_PrivateDecrypt", "CryptDecrypt");
    if (own) {
      tvxCAPISecureZero(buffer, capacity);
      std::free(buffer);
    }
    if (error == ERROR_MORE_DATA) {
      blob->count = produced;
      return TVCAPI_BUFFER_TOO_SMALL;
    }
    return TVCAPI_DECRYPT_FAILED;
  }
  if (produced < capacity) buffer[produced] = 0;
  blob->data = buffer;
  blob->count = produced;
  return TVCAPI_OK;
}
