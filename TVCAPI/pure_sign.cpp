// Signing with a private key over a hash value or over data; the signature comes back most
// significant byte first, as PKCS#1 and the certificate world write it.
#include <cstdlib>

#include "TVCAPI/core_internal.h"

namespace {

constexpr const char* kOperation = "TVXCAPI_PureSign";

std::int32_t signFailed(int line) {
  tvxCAPICallFailed(kModuleCipher, line, kOperation, "CryptSignHashA");
  return TVCAPI_SIGN_FAILED;
}

// Signs into the caller's buffer, or into one of the key's size (grown once if the provider
// asks for more). On success the blob holds the signature in CryptoAPI's order.
std::int32_t signInto(HCRYPTHASH hash, const TVCAPIKeyRecord* record, DWORD flags,
                      TVCAPI_BLOB* signature) {
  if (signature->data != nullptr) {
    DWORD length = signature->count;
    if (!CryptSignHashA(hash, record->keySpec, nullptr, flags, signature->data, &length)) {
      if (GetLastError() != ERROR_MORE_DATA) return signFailed(__LINE__);
      signature->count = length;
      return TVCAPI_BUFFER_TOO_SMALL;
    }
    signature->count = length;
    return TVCAPI_OK;
  }
  const std::int32_t keyBytes = tvxCAPIKeyBytes(record);
  DWORD length = keyBytes > 0 ? static_cast<DWORD>(keyBytes) : 0;
  if (length == 0 && !CryptSignHashA(hash, record->keySpec, nullptr, flags, nullptr, &length)) {
    return signFailed(__LINE__);
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto* buffer = static_cast<BYTE*>(std::malloc(length != 0 ? length : 1));
    if (buffer == nullptr) return tvxCAPIOutOfMemory(kModuleCipher, __LINE__, kOperation);
    const DWORD capacity = length;
    if (CryptSignHashA(hash, record->keySpec, nullptr, flags, buffer, &length)) {
      signature->data = buffer;
      signature->count = length;
      return TVCAPI_OK;
    }
    const DWORD error = GetLastError();
    std::free(buffer);
    if (error != ERROR_MORE_DATA || attempt == 1 || length <= capacity) {
      SetLastError(error);
      return signFailed(__LINE__);
    }
  }
  return TVCAPI_SIGN_FAILED;
}

}  // namespace

extern "C" int32_t TVXCAPI_PureSign(TVCAPIHandle* key, const uint8_t* input, uint32_t length,
                                    uint32_t options, TVCAPI_BLOB* signature) {
  const std::int32_t checked = tvxCAPICheckHandle(key, TVCAPI_PRIVATE_KEY);
  if (checked != TVCAPI_OK) return checked;
  ALG_ID algorithm = 0;
  if (signature == nullptr || (input == nullptr && length != 0) ||
      !tvxCAPIHashAlgorithm(options, algorithm)) {
    return TVCAPI_BAD_ARGUMENT;
  }
  const auto* record = static_cast<const TVCAPIKeyRecord*>(key->data);
  HCRYPTHASH hash = 0;
  std::int32_t rc =
      tvxCAPIHashInput(record->provider, algorithm, input, length, options, kOperation, hash);
  if (rc == TVCAPI_OK) {
    const DWORD flags = (options & TVCAPI_NO_HASH_OID) != 0 ? CRYPT_NOHASHOID : 0;
    TVCAPI_BLOB out = *signature;
    rc = signInto(hash, record, flags, &out);
    if (rc == TVCAPI_OK) tvxCAPIReverse(out.data, out.count);
    if (rc == TVCAPI_OK || rc == TVCAPI_BUFFER_TOO_SMALL) *signature = out;
  }
  if (hash != 0) CryptDestroyHash(hash);
  return rc;
}
