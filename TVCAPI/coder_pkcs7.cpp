// The PKCS#7 coder: a decoded CryptoAPI message whose handle keeps the message's encoded form
// in its fourth field.
#include <cstdlib>
#include <cstring>

#include "TVCAPI/coder_internal.h"

namespace {

constexpr const char* kLabel = "PKCS7";

void freeEncoded(TVCAPI_BLOB* encoded) {
  if (encoded == nullptr) return;
  std::free(encoded->data);
  std::free(encoded);
}

// Makes sure the handle holds the message's encoded form, read from the message the first time.
std::int32_t encodedForm(TVCAPIHandle* handle, TVCAPI_BLOB*& form) {
  if (handle->encoded != nullptr && handle->encoded->data != nullptr) {
    form = handle->encoded;
    return TVCAPI_OK;
  }
  constexpr const char* kOperation = "tvxCAPI_ASN1_EncodePKCS7";
  DWORD size = 0;
  if (!CryptMsgGetParam(handle->data, CMSG_ENCODED_MESSAGE, 0, nullptr, &size) || size == 0) {
    tvxCAPICallFailed(kModuleASN1, __LINE__, kOperation, "CryptMsgGetParam");
    return TVCAPI_BAD_SPECIFICATION;
  }
  TVCAPI_BLOB* blob = handle->encoded;
  if (blob == nullptr) {
    blob = static_cast<TVCAPI_BLOB*>(std::calloc(1, sizeof(TVCAPI_BLOB)));
    if (blob == nullptr) return tvxCAPIOutOfMemory(kModuleASN1, __LINE__, kOperation);
    handle->encoded = blob;
  }
  auto* bytes = static_cast<std::uint8_t*>(std::malloc(size));
  if (bytes == nullptr) return tvxCAPIOutOfMemory(kModuleASN1, __LINE__, kOperation);
  if (!CryptMsgGetParam(handle->data, CMSG_ENCODED_MESSAGE, 0, bytes, &size)) {
    tvxCAPICallFailed(kModuleASN1, __LINE__, kOperation, "CryptMsgGetParam");
    std::free(bytes);
    return TVCAPI_BAD_SPECIFICATION;
  }
  blob->data = bytes;
  blob->count = size;
  form = blob;
  return TVCAPI_OK;
}

int32_t tvxCAPI_ASN1_EncodePKCS7(TVCAPIHandle* handle, TVCAPI_BLOB* blob, uint32_t options,
                                 const int32_t* armour) {
  const std::int32_t checked = tvxCAPICheckHandle(handle, TVCAPI_PKCS7);
  if (checked != TVCAPI_OK) return checked;
  if (blob == nullptr) return TVCAPI_BAD_ARGUMENT;
  TVCAPI_BLOB* form = nullptr;
  const std::int32_t rc = encodedForm(handle, form);
  if (rc != TVCAPI_OK) return rc;
  if ((options & TVCAPI_TEXT_OUTPUT) != 0) {
    return TVXCAPI_Encode(form->data, form->count, blob,
                          armour != nullptr && *armour != 0 ? kLabel : nullptr);
  }
  if (blob->data != nullptr) {
    if (blob->count < form->count) return TVCAPI_BUFFER_TOO_SMALL;
    std::memcpy(blob->data, form->data, form->count);
    blob->count = form->count;
    return TVCAPI_OK;
  }
  auto* copy = static_cast<std::uint8_t*>(std::malloc(std::size_t{form->count} + 1));
  if (copy == nullptr) {
    return tvxCAPIOutOfMemory(kModuleASN1, __LINE__, "tvxCAPI_ASN1_EncodePKCS7");
  }
  std::memcpy(copy, form->data, form->count);
  copy[form->count] = 0;
  blob->data = copy;
  blob->count = form->count;
  return TVCAPI_OK;
}

// The handle keeps its own copy of the DER, the form its message was decoded from.
int32_t tvxCAPI_ASN1_DecodePKCS7(TVCAPIHandle** out, const uint8_t* data, uint32_t length,
                                 uint32_t options) {
  constexpr const char* kOperation = "tvxCAPI_ASN1_DecodePKCS7";
  if (out == nullptr || (data == nullptr && length != 0)) return TVCAPI_BAD_ARGUMENT;
  auto* form = static_cast<TVCAPI_BLOB*>(std::calloc(1, sizeof(TVCAPI_BLOB)));
  if (form == nullptr) return tvxCAPIOutOfMemory(kModuleASN1, __LINE__, kOperation);
  if ((options & TVCAPI_TEXT_INPUT) != 0) {
    const std::int32_t rc =
        TVXCAPI_Decode(reinterpret_cast<const char*>(data), length, form, kLabel);
    if (rc != TVCAPI_OK) {
      freeEncoded(form);
      return rc == TVCAPI_BAD_SPECIFICATION ? TVCAPI_BAD_PKCS7 : rc;
    }
  } else {
    form->data = static_cast<std::uint8_t*>(std::malloc(length != 0 ? length : 1));
    if (form->data == nullptr) {
      freeEncoded(form);
      return tvxCAPIOutOfMemory(kModuleASN1, __LINE__, kOperation);
    }
    if (length != 0) std::memcpy(form->data, data, length);
    form->count = length;
  }
  HCRYPTMSG message =
      CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
  if (message == nullptr) {
    freeEncoded(form);
    return TVCAPI_BAD_PKCS7;
  }
  if (!CryptMsgUpdate(message, form->data, form->count, TRUE)) {
    CryptMsgClose(message);
    freeEncoded(form);
    return TVCAPI_BAD_PKCS7;
  }
  TVCAPIHandle* handle = nullptr;
  const std::int32_t rc =
      tvxCAPICreateHandle(&handle, TVCAPI_PKCS7, message, &tvxCAPIPKCS7Coder, nullptr);
  if (rc != TVCAPI_OK) {
    CryptMsgClose(message);
    freeEncoded(form);
    return rc;
  }
  handle->encoded = form;
  *out = handle;
  return TVCAPI_OK;
}

void releasePKCS7(TVCAPIHandle* handle) {
  if (handle->data != nullptr) CryptMsgClose(handle->data);
  freeEncoded(handle->encoded);
  std::free(handle);
}

}  // namespace

extern "C" const TVCAPICoder tvxCAPIPKCS7Coder = {
    tvxCAPI_ASN1_EncodePKCS7, tvxCAPI_ASN1_DecodePKCS7, nullptr, nullptr, releasePKCS7, nullptr};
