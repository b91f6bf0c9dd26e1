// The signer-information coder: a decoded PKCS7_SIGNER_INFO structure, as DER or bare Base64.
#include <cstdlib>

#include "TVCAPI/coder_internal.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::int32_t writeSignerInfo(const void* object, std::uint8_t* buffer, std::int32_t capacity) {
  DWORD size = 0;
  if (!CryptEncodeObject(kEncoding, PKCS7_SIGNER_INFO, object, nullptr, &size) ||
      size > 0x7FFFFFFF) {
    tvxCAPICallFailed(kModuleASN1, __LINE__, "tvxCAPI_ASN1_Encode", "CryptEncodeObject");
    return -1;
  }
  if (buffer == nullptr || capacity < static_cast<std::int32_t>(size)) {
    return static_cast<std::int32_t>(size);
  }
  DWORD written = static_cast<DWORD>(capacity);
  if (!CryptEncodeObject(kEncoding, PKCS7_SIGNER_INFO, object, buffer, &written)) {
    tvxCAPICallFailed(kModuleASN1, __LINE__, "tvxCAPI_ASN1_Encode", "CryptEncodeObject");
    return -1;
  }
  return static_cast<std::int32_t>(written);
}

std::int32_t buildSignerInfo(const std::uint8_t* der, std::uint32_t length, TVCAPIHandle** out) {
  DWORD size = 0;
  if (!CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, der, length, 0, nullptr, &size) ||
      size < sizeof(CMSG_SIGNER_INFO)) {
    return TVCAPI_BAD_SPECIFICATION;
  }
  void* info = std::malloc(size);
  if (info == nullptr) return tvxCAPIOutOfMemory(kModuleASN1, __LINE__, "tvxCAPI_ASN1_Decode");
  if (!CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, der, length, 0, info, &size)) {
    std::free(info);
    return TVCAPI_BAD_SPECIFICATION;
  }
  const std::int32_t rc =
      tvxCAPICreateHandle(out, TVCAPI_SIGNER_INFO, info, &tvxCAPISignerInfoCoder, nullptr);
  if (rc != TVCAPI_OK) std::free(info);
  return rc;
}

// Signer information has no armour: text out is bare Base64 whatever armour asks.
int32_t encodeSignerInfo(TVCAPIHandle* handle, TVCAPI_BLOB* blob, uint32_t options,
                         const int32_t*) {
  const std::int32_t checked = tvxCAPICheckHandle(handle, TVCAPI_SIGNER_INFO);
  if (checked != TVCAPI_OK) return checked;
  return tvxCAPI_ASN1_Encode(handle->data, writeSignerInfo, blob, options, nullptr, nullptr, false);
}

int32_t decodeSignerInfo(TVCAPIHandle** out, const uint8_t* data, uint32_t length,
                         uint32_t options) {
  return tvxCAPI_ASN1_Decode(out, data, length, options, nullptr, TVCAPI_BAD_SPECIFICATION,
                             buildSignerInfo, false);
}

void releaseSignerInfo(TVCAPIHandle* handle) {
  std::free(handle->data);
  std::free(handle);
}

}  // namespace

extern "C" const TVCAPICoder tvxCAPISignerInfoCoder = {
    encodeSignerInfo, decodeSignerInfo, nullptr, nullptr, releaseSignerInfo, nullptr};
