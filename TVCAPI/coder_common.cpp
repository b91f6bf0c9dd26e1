// The coder tables' shared encode and decode steps.
#include <cstdlib>
#include <cstring>

#include "TVCAPI/coder_internal.h"

namespace {

constexpr const char* kEncodeOperation = "tvxCAPI_ASN1_Encode";

void release(std::uint8_t* memory, std::size_t length, bool secret) {
  if (memory != nullptr && secret) tvxCAPISecureZero(memory, length);
  std::free(memory);
}

}  // namespace

std::int32_t tvxCAPINotSupported(void) {
  return TVCAPI_FAILED;
}

std::int32_t tvxCAPI_ASN1_Encode(const void* object, TvxDerWriter writer, TVCAPI_BLOB* blob,
                                 std::uint32_t options, const std::int32_t* armour,
                                 const char* label, bool secret) {
  if (blob == nullptr) return TVCAPI_BAD_ARGUMENT;
  const std::int32_t size = writer(object, nullptr, 0);
  if (size < 0) return TVCAPI_BAD_SPECIFICATION;
  const auto length = static_cast<std::uint32_t>(size);
  if ((options & TVCAPI_TEXT_OUTPUT) == 0 && blob->data != nullptr) {
    if (blob->count < length) {
      blob->count = length;
      return TVCAPI_BUFFER_TOO_SMALL;
    }
    if (writer(object, blob->data, size) != size) return TVCAPI_BAD_SPECIFICATION;
    blob->count = length;
    return TVCAPI_OK;
  }
  auto* der = static_cast<std::uint8_t*>(std::malloc(std::size_t{length} + 1));
  if (der == nullptr) return tvxCAPIOutOfMemory(kModuleASN1, __LINE__, kEncodeOperation);
  if (writer(object, der, size) != size) {
    release(der, length, secret);
    return TVCAPI_BAD_SPECIFICATION;
  }
  if ((options & TVCAPI_TEXT_OUTPUT) == 0) {
    der[length] = 0;
    blob->data = der;
    blob->count = length;
    return TVCAPI_OK;
  }
  const bool pem = armour != nullptr && *armour != 0 && label != nullptr;
  const std::int32_t rc = TVXCAPI_Encode(der, length, blob, pem ? label : nullptr);
  release(der, length, secret);
  return rc;
}

std::int32_t tvxCAPI_ASN1_Decode(TVCAPIHandle** out, const std::uint8_t* data, std::uint32_t length,
                                 std::uint32_t options, const char* labels, std::int32_t failure,
                                 TvxHandleBuilder builder, bool secret) {
  if (out == nullptr || (data == nullptr && length != 0)) return TVCAPI_BAD_ARGUMENT;
  if ((options & TVCAPI_TEXT_INPUT) == 0) return builder(data, length, out);
  TVCAPI_BLOB der{0, nullptr};
  const std::int32_t decoded =
      TVXCAPI_Decode(reinterpret_cast<const char*>(data), length, &der, labels);
  if (decoded != TVCAPI_OK) return decoded == TVCAPI_BAD_SPECIFICATION ? failure : decoded;
  const std::int32_t rc = builder(der.data, der.count, out);
  release(der.data, der.count, secret);
  return rc;
}
