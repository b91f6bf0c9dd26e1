// The RSA key coders: a private key as PKCS#1 RSAPrivateKey, a public key as
// SubjectPublicKeyInfo, each read back into the library's own key containers.
#include <cstdlib>

#include "TVCAPI/coder_internal.h"

namespace {

std::int32_t writePrivateKey(const void* object, std::uint8_t* buffer, std::int32_t capacity) {
  return ExportRSAPrivateKeyDER(static_cast<const TVCAPIKeyRecord*>(object), buffer, capacity);
}

std::int32_t writePublicKey(const void* object, std::uint8_t* buffer, std::int32_t capacity) {
  return ExportRSAPublicKeyInfoDER(static_cast<const TVCAPIKeyRecord*>(object), buffer, capacity);
}

std::int32_t wrapKey(TVCAPIKeyRecord* record, bool isPrivate, TVCAPIHandle** out) {
  if (record == nullptr) return TVCAPI_BAD_KEY;
  const std::int32_t rc = isPrivate
                              ? tvxCAPICreateHandle(out, TVCAPI_PRIVATE_KEY, record,
                                                    &tvxCAPIPrivateKeyCoder, &tvxCAPIPrivateKeyOps)
                              : tvxCAPICreateHandle(out, TVCAPI_PUBLIC_KEY, record,
                                                    &tvxCAPIPublicKeyCoder, &tvxCAPIPublicKeyOps);
  if (rc != TVCAPI_OK) tvxCAPIReleaseKeyRecord(record);
  return rc;
}

std::int32_t buildPrivateKey(const std::uint8_t* der, std::uint32_t length, TVCAPIHandle** out) {
  return wrapKey(ImportRSAPrivateKeyDER(der, length), true, out);
}

std::int32_t buildPublicKey(const std::uint8_t* der, std::uint32_t length, TVCAPIHandle** out) {
  return wrapKey(ImportRSAPublicKeyInfoDER(der, length), false, out);
}

int32_t encodePrivateKey(TVCAPIHandle* handle, TVCAPI_BLOB* blob, uint32_t options,
                         const int32_t* armour) {
  const std::int32_t checked = tvxCAPICheckHandle(handle, TVCAPI_PRIVATE_KEY);
  if (checked != TVCAPI_OK) return checked;
  return tvxCAPI_ASN1_Encode(handle->data, writePrivateKey, blob, options, armour,
                             "RSA PRIVATE KEY", true);
}

int32_t encodePublicKey(TVCAPIHandle* handle, TVCAPI_BLOB* blob, uint32_t options,
                        const int32_t* armour) {
  const std::int32_t checked = tvxCAPICheckHandle(handle, TVCAPI_PUBLIC_KEY);
  if (checked != TVCAPI_OK) return checked;
  return tvxCAPI_ASN1_Encode(handle->data, writePublicKey, blob, options, armour, "PUBLIC KEY",
                             false);
}

int32_t decodePrivateKey(TVCAPIHandle** out, const uint8_t* data, uint32_t length,
                         uint32_t options) {
  return tvxCAPI_ASN1_Decode(out, data, length, options,
                             "RSA PRIVATE KEY;DSA PUBLIC KEY;ENCRYPTED PRIVATE KEY;PRIVATE KEY",
                             TVCAPI_BAD_KEY, buildPrivateKey, true);
}

int32_t decodePublicKey(TVCAPIHandle** out, const uint8_t* data, uint32_t length,
                        uint32_t options) {
  return tvxCAPI_ASN1_Decode(out, data, length, options, "PUBLIC KEY;RSA PUBLIC KEY;DSA PUBLIC KEY",
                             TVCAPI_BAD_KEY, buildPublicKey, false);
}

void releaseKey(TVCAPIHandle* handle) {
  tvxCAPIReleaseKeyRecord(static_cast<TVCAPIKeyRecord*>(handle->data));
  std::free(handle);
}

}  // namespace

extern "C" const TVCAPICoder tvxCAPIPrivateKeyCoder = {encodePrivateKey, decodePrivateKey, nullptr,
                                                       nullptr,          releaseKey,       nullptr};
extern "C" const TVCAPICoder tvxCAPIPublicKeyCoder = {encodePublicKey, decodePublicKey, nullptr,
                                                      nullptr,         releaseKey,      nullptr};
