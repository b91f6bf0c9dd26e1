// Signing over data or a finished hash, and verifying, with CryptoAPI's hash objects. Callers
// see signatures most significant byte first; CryptoAPI writes and reads them reversed.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "TVCAPI/report.h"
#include "TVCAPI/tvcapi_internal.h"

namespace {

constexpr std::uint32_t kAlgorithmBits = 0x0F;
constexpr DWORD kVerifyBuffer = 1024;

bool algorithmOf(std::uint32_t options, ALG_ID& algorithm) {
  switch (options & kAlgorithmBits) {
    case TVCAPI_HASH_SHA1:
    case TVCAPI_HASH_SHA1_TOO:
      algorithm = CALG_SHA1;
      return true;
    case TVCAPI_HASH_MD5:
      algorithm = CALG_MD5;
      return true;
    default:
      return false;
  }
}

struct Hash {
  HCRYPTHASH handle = 0;
  ~Hash() {
    if (handle != 0) CryptDestroyHash(handle);
  }
};

// Steps 2 and 3 of signing and verifying: the hash object over the data, or holding the value.
std::int32_t prepareHash(Hash& hash, const TVCAPIKeyRecord& key, ALG_ID algorithm,
                         const uint8_t* input, uint32_t length, uint32_t options,
                         const char* operation) {
  if (!CryptCreateHash(key.provider, algorithm, 0, 0, &hash.handle)) {
    TVCAPI_REPORT_CALL("TVXCAPI", operation, "CryptCreateHash");
    return TVCAPI_FAILED;
  }
  if ((options & TVCAPI_HASH_DATA) != 0) {
    if (!CryptHashData(hash.handle, input, length, 0)) {
      TVCAPI_REPORT_CALL("TVXCAPI", operation, "CryptHashData");
      return TVCAPI_FAILED;
    }
    return TVCAPI_OK;
  }
  DWORD size = 0;
  DWORD sizeLength = sizeof size;
  if (!CryptGetHashParam(hash.handle, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &sizeLength,
                         0)) {
    TVCAPI_REPORT_CALL("TVXCAPI", operation, "CryptGetHashParam");
    return TVCAPI_FAILED;
  }
  if (size != length || input == nullptr) {
    TVCAPI_REPORT_HASH_LENGTH("TVXCAPI", operation);
    return TVCAPI_BAD_ARGUMENT;
  }
  if (!CryptSetHashParam(hash.handle, HP_HASHVAL, input, 0)) {
    TVCAPI_REPORT_CALL("TVXCAPI", operation, "CryptSetHashParam");
    return TVCAPI_FAILED;
  }
  return TVCAPI_OK;
}

std::int32_t checkKey(TVCAPIHandle* key, uint32_t type) {
  if (key == nullptr || key->data == nullptr) return TVCAPI_BAD_ARGUMENT;
  if (key->type != type) return TVCAPI_WRONG_HANDLE_TYPE;
  return TVCAPI_OK;
}

}  // namespace

extern "C" int32_t TVXCAPI_PureSign(TVCAPIHandle* handle, const uint8_t* input, uint32_t length,
                                    uint32_t options, TVCAPI_BLOB* signature) {
  constexpr char kOperation[] = "TVXCAPI_PureSign";
  if (const std::int32_t code = checkKey(handle, TVCAPI_PRIVATE_KEY); code != TVCAPI_OK)
    return code;
  ALG_ID algorithm = 0;
  if (signature == nullptr || !algorithmOf(options, algorithm) || (input == nullptr && length != 0))
    return TVCAPI_BAD_ARGUMENT;
  const auto& key = *static_cast<TVCAPIKeyRecord*>(handle->data);
  Hash hash;
  if (const std::int32_t code =
          prepareHash(hash, key, algorithm, input, length, options, kOperation);
      code != TVCAPI_OK)
    return code;

  const DWORD flags = (options & TVCAPI_NO_HASH_OID) != 0 ? CRYPT_NOHASHOID : 0;
  const bool callersBuffer = signature->data != nullptr;
  BYTE* buffer = signature->data;
  DWORD capacity = signature->count;
  if (!callersBuffer) {
    const int32_t size = TVXCAPI_KeySize(handle);
    capacity = size > 0 ? static_cast<DWORD>(size) : 0;
    buffer = static_cast<BYTE*>(std::malloc(capacity == 0 ? 1 : capacity));
    if (buffer == nullptr) {
      TVCAPI_REPORT_NO_MEMORY("TVXCAPI", kOperation);
      return TVCAPI_NO_MEMORY;
    }
  }
  DWORD written = capacity;
  if (!CryptSignHashA(hash.handle, key.keySpec, nullptr, flags, buffer, &written)) {
    if (GetLastError() != ERROR_MORE_DATA) {
      TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CryptSignHashA");
      if (!callersBuffer) std::free(buffer);
      return TVCAPI_SIGN_FAILED;
    }
    if (callersBuffer) {
      signature->count = written;
      return TVCAPI_BUFFER_TOO_SMALL;
    }
    std::free(buffer);
    capacity = written;
    buffer = static_cast<BYTE*>(std::malloc(capacity == 0 ? 1 : capacity));
    if (buffer == nullptr) {
      TVCAPI_REPORT_NO_MEMORY("TVXCAPI", kOperation);
      return TVCAPI_NO_MEMORY;
    }
    if (!CryptSignHashA(hash.handle, key.keySpec, nullptr, flags, buffer, &written)) {
      TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CryptSignHashA");
      std::free(buffer);
      return TVCAPI_SIGN_FAILED;
    }
  }
  std::reverse(buffer, buffer + written);
  signature->data = buffer;
  signature->count = written;
  return TVCAPI_OK;
}

extern "C" int32_t TVXCAPI_PureVerify(TVCAPIHandle* handle, const uint8_t* signature,
                                      uint32_t signatureLength, const uint8_t* input,
                                      uint32_t length, uint32_t options) {
  constexpr char kOperation[] = "TVXCAPI_PureVerify";
  if (const std::int32_t code = checkKey(handle, TVCAPI_PUBLIC_KEY); code != TVCAPI_OK) return code;
  ALG_ID algorithm = 0;
  if (!algorithmOf(options, algorithm) || (signature == nullptr && signatureLength != 0) ||
      (input == nullptr && length != 0))
    return TVCAPI_BAD_ARGUMENT;
  const auto& key = *static_cast<TVCAPIKeyRecord*>(handle->data);
  Hash hash;
  if (const std::int32_t code =
          prepareHash(hash, key, algorithm, input, length, options, kOperation);
      code != TVCAPI_OK)
    return code;
  BYTE local[kVerifyBuffer];
  BYTE* reversed = local;
  if (signatureLength > kVerifyBuffer) {
    reversed = static_cast<BYTE*>(std::malloc(signatureLength));
    if (reversed == nullptr) {
      TVCAPI_REPORT_NO_MEMORY("TVXCAPI", kOperation);
      return TVCAPI_NO_MEMORY;
    }
  }
  std::reverse_copy(signature, signature + signatureLength, reversed);
  std::int32_t code = TVCAPI_OK;
  if (!CryptVerifySignatureA(hash.handle, reversed, signatureLength, key.key, nullptr, 0)) {
    const DWORD error = GetLastError();
    TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CryptVerifySignatureA");
    code = error == NTE_BAD_SIGNATURE ? TVCAPI_BAD_SIGNATURE
           : error == NTE_BAD_KEY     ? TVCAPI_BAD_KEY
                                      : TVCAPI_VERIFY_FAILED;
  }
  if (reversed != local) std::free(reversed);
  return code;
}
