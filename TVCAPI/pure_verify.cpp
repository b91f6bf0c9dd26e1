// Verifying a big-endian PKCS#1 v1.5 signature with a public key. The signature must carry the
// hash algorithm's identifier: a signature made without it never verifies here.
#include <cstdlib>

#include "TVCAPI/core_internal.h"

namespace {
constexpr const char* kOperation = "TVXCAPI_PureVerify";
constexpr std::uint32_t kSignatureBuffer = 1024;
}  // namespace

extern "C" int32_t TVXCAPI_PureVerify(TVCAPIHandle* key, const uint8_t* signature,
                                      uint32_t signatureLength, const uint8_t* input,
                                      uint32_t length, uint32_t options) {
  const std::int32_t checked = tvxCAPICheckHandle(key, TVCAPI_PUBLIC_KEY);
  if (checked != TVCAPI_OK) return checked;
  ALG_ID algorithm = 0;
  if ((signature == nullptr && signatureLength != 0) || (input == nullptr && length != 0) ||
      !tvxCAPIHashAlgorithm(options, algorithm)) {
    return TVCAPI_BAD_ARGUMENT;
  }
  const auto* record = static_cast<const TVCAPIKeyRecord*>(key->data);
  HCRYPTHASH hash = 0;
  std::int32_t rc =
      tvxCAPIHashInput(record->provider, algorithm, input, length, options, kOperation, hash);
  if (rc == TVCAPI_OK) {
    BYTE local[kSignatureBuffer];
    BYTE* reversed = local;
    if (signatureLength > kSignatureBuffer) {
      reversed = static_cast<BYTE*>(std::malloc(signatureLength));
      if (reversed == nullptr) rc = tvxCAPIOutOfMemory(kModuleCipher, __LINE__, kOperation);
    }
    if (rc == TVCAPI_OK) {
      for (std::uint32_t i = 0; i < signatureLength; ++i) {
        reversed[i] = signature[signatureLength - 1 - i];
      }
      if (!CryptVerifySignatureA(hash, reversed, signatureLength, record->key, nullptr, 0)) {
        const DWORD error = GetLastError();
        tvxCAPICallFailed(kModuleCipher, __LINE__, kOperation, "CryptVerifySignatureA");
        rc = error == static_cast<DWORD>(NTE_BAD_SIGNATURE) ? TVCAPI_BAD_SIGNATURE
             : error == static_cast<DWORD>(NTE_BAD_KEY)     ? TVCAPI_BAD_KEY
                                                            : TVCAPI_VERIFY_FAILED;
      }
    }
    if (reversed != local) std::free(reversed);
  }
  if (hash != 0) CryptDestroyHash(hash);
  return rc;
}
