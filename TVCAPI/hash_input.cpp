// The hash object that signing and verifying start from: over the data, or a finished value.
#include "TVCAPI/core_internal.h"

bool tvxCAPIHashAlgorithm(std::uint32_t options, ALG_ID& algorithm) {
  switch (options & 0x0F) {
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

std::int32_t tvxCAPIHashInput(HCRYPTPROV provider, ALG_ID algorithm, const std::uint8_t* input,
                              std::uint32_t length, std::uint32_t options, const char* operation,
                              HCRYPTHASH& hash) {
  hash = 0;
  if (!CryptCreateHash(provider, algorithm, 0, 0, &hash)) {
    tvxCAPICallFailed(kModuleCipher, __LINE__, operation, "CryptCreateHash");
    hash = 0;
    return TVCAPI_FAILED;
  }
  if ((options & TVCAPI_HASH_DATA) != 0) {
    if (!CryptHashData(hash, input, length, 0)) {
      tvxCAPICallFailed(kModuleCipher, __LINE__, operation, "CryptHashData");
      return TVCAPI_FAILED;
    }
    return TVCAPI_OK;
  }
  BYTE sizeBytes[4] = {};
  DWORD sizeLength = sizeof sizeBytes;
  if (!CryptGetHashParam(hash, HP_HASHSIZE, sizeBytes, &sizeLength, 0)) {
    tvxCAPICallFailed(kModuleCipher, __LINE__, operation, "CryptGetHashParam");
    return TVCAPI_FAILED;
  }
  DWORD size = 0;
  for (DWORD i = sizeLength < 4 ? sizeLength : 4; i-- > 0;) size = (size << 8) | sizeBytes[i];
  if (length != size) {
    tvxCAPIDebugMessage("%s:%d:%s", kModuleCipher, __LINE__, operation);
    return TVCAPI_BAD_ARGUMENT;
  }
  if (!CryptSetHashParam(hash, HP_HASHVAL, input, 0)) {
    tvxCAPICallFailed(kModuleCipher, __LINE__, operation, "CryptSetHashParam");
    return TVCAPI_FAILED;
  }
  return TVCAPI_OK;
}
