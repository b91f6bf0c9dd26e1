// RSA PKCS#1 v1.5 encryption with a public key and decryption with a private key; callers'
// byte strings are most significant byte first, CryptoAPI's the reverse.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "TVCAPI/report.h"
#include "TVCAPI/tvcapi_internal.h"

namespace {
constexpr std::uint32_t kPaddingRoom = 11;
}

extern "C" int32_t TVXCAPI_PublicEncrypt(TVCAPIHandle* handle, const uint8_t* data, uint32_t length,
                                         uint32_t, TVCAPI_BLOB* blob) {
  constexpr char kOperation[] = "TVXCAPI_PublicEncrypt";
  if (handle == nullptr || handle->data == nullptr || blob == nullptr) return TVCAPI_BAD_ARGUMENT;
  if (handle->type != TVCAPI_PUBLIC_KEY) return TVCAPI_WRONG_HANDLE_TYPE;
  const int32_t size = handle->keyOps != nullptr && handle->keyOps->keySize != nullptr
                           ? handle->keyOps->keySize(handle)
                           : TVXCAPI_KeySize(handle);
  if (size <= 0) return TVCAPI_ENCRYPT_FAILED;
  const auto keySize = static_cast<std::uint32_t>(size);
  if (keySize < kPaddingRoom || length > keySize - kPaddingRoom || (data == nullptr && length != 0))
    return TVCAPI_BAD_ARGUMENT;
  const bool callersBuffer = blob->data != nullptr;
  if (callersBuffer && blob->count < keySize) {
    blob->count = keySize;
    return TVCAPI_BUFFER_TOO_SMALL;
  }
  BYTE* buffer = callersBuffer ? blob->data : static_cast<BYTE*>(std::malloc(keySize));
  if (buffer == nullptr) {
    TVCAPI_REPORT_NO_MEMORY("TVCAPICipher", kOperation);
    return TVCAPI_NO_MEMORY;
  }
  if (length != 0) std::memcpy(buffer, data, length);
  DWORD written = length;
  if (!CryptEncrypt(static_cast<TVCAPIKeyRecord*>(handle->data)->key, 0, TRUE, 0, buffer, &written,
                    keySize)) {
    TVCAPI_REPORT_CALL("TVCAPICipher", kOperation, "CryptEncrypt");
    if (!callersBuffer) std::free(buffer);
    return TVCAPI_ENCRYPT_FAILED;
  }
  std::reverse(buffer, buffer + written);
  blob->data = buffer;
  blob->count = written;
  return TVCAPI_OK;
}

extern "C" int32_t TVXCAPI_PrivateDecrypt(TVCAPIHandle* handle, const uint8_t* ciphertext,
                                          uint32_t length, uint32_t, TVCAPI_BLOB* blob) {
  constexpr char kOperation[] = "TVXCAPI_PrivateDecrypt";
  if (handle == nullptr || handle->data == nullptr || blob == nullptr ||
      (ciphertext == nullptr && length != 0))
    return TVCAPI_BAD_ARGUMENT;
  if (handle->type != TVCAPI_PRIVATE_KEY) return TVCAPI_WRONG_HANDLE_TYPE;
  const bool callersBuffer = blob->data != nullptr;
  // The plaintext is followed by a zero byte, so a caller's buffer needs room for it too.
  if (callersBuffer && (blob->count < length || blob->count == 0)) {
    blob->count = length + 1;
    return TVCAPI_BUFFER_TOO_SMALL;
  }
  BYTE* buffer =
      callersBuffer ? blob->data : static_cast<BYTE*>(std::malloc(std::size_t{length} + 1));
  if (buffer == nullptr) {
    TVCAPI_REPORT_NO_MEMORY("TVCAPICipher", kOperation);
    return TVCAPI_NO_MEMORY;
  }
  std::reverse_copy(ciphertext, ciphertext + length, buffer);
  DWORD written = length;
  if (!CryptDecrypt(static_cast<TVCAPIKeyRecord*>(handle->data)->key, 0, TRUE, 0, buffer,
                    &written)) {
    const DWORD error = GetLastError();
    TVCAPI_REPORT_CALL("TVCAPICipher", kOperation, "CryptDecrypt");
    if (!callersBuffer) std::free(buffer);
    if (error == ERROR_MORE_DATA) {
      blob->count = written;
      return TVCAPI_BUFFER_TOO_SMALL;
    }
    return TVCAPI_DECRYPT_FAILED;
  }
  const std::uint32_t capacity = callersBuffer ? blob->count : length + 1;
  if (written < capacity) buffer[written] = 0;
  blob->data = buffer;
  blob->count = written;
  return TVCAPI_OK;
}
