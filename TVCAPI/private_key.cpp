// The private key of a certificate, from the provider its key-provider property names, and
// the release of key records.
#include <cstdlib>

#include "TVCAPI/report.h"
#include "TVCAPI/tvcapi_internal.h"

namespace {

constexpr char kOperation[] = "TVXCAPI_GetPrivateKey";

int32_t notSupported() {
  return TVCAPI_FAILED;
}
int32_t notEncodable(TVCAPIHandle*, TVCAPI_BLOB*, uint32_t, const int32_t*) {
  return TVCAPI_FAILED;
}
int32_t notDecodable(TVCAPIHandle**, const uint8_t*, uint32_t, uint32_t) {
  return TVCAPI_FAILED;
}
int32_t minusOne() {
  return -1;
}

void releaseKeyHandle(TVCAPIHandle* handle) {
  tvxCAPIReleaseKeyRecord(static_cast<TVCAPIKeyRecord*>(handle->data));
  std::free(handle);
}

void releaseCertificateHandle(TVCAPIHandle* handle) {
  if (handle->data != nullptr)
    CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(handle->data));
  std::free(handle);
}

int32_t encryptNotSupported(TVCAPIHandle*, const uint8_t*, uint32_t, uint32_t, TVCAPI_BLOB*) {
  return TVCAPI_FAILED;
}

}  // namespace

extern "C" const TVCAPIKeyOps tvxCAPIPrivateKeyOps = {encryptNotSupported, TVXCAPI_PrivateDecrypt,
                                                      TVXCAPI_PureSign,    nullptr,
                                                      TVXCAPI_KeySize,     minusOne};
extern "C" const TVCAPIKeyOps tvxCAPIPublicKeyOps = {
    TVXCAPI_PublicEncrypt, encryptNotSupported, nullptr,
    TVXCAPI_PureVerify,    TVXCAPI_KeySize,     minusOne};
// The release entries of the kinds this library creates; the text and DER writers of keys and
// certificates are not part of the signing path and answer "not supported".
extern "C" const TVCAPICoder tvxCAPICertificateCoder = {
    notEncodable, notDecodable, notSupported, notSupported, releaseCertificateHandle, nullptr};
extern "C" const TVCAPICoder tvxCAPIPrivateKeyCoder = {notEncodable, notDecodable,     nullptr,
                                                       nullptr,      releaseKeyHandle, nullptr};
extern "C" const TVCAPICoder tvxCAPIPublicKeyCoder = {notEncodable, notDecodable,     nullptr,
                                                      nullptr,      releaseKeyHandle, nullptr};

void tvxCAPIReleaseKeyRecord(TVCAPIKeyRecord* key) {
  if (key == nullptr) return;
  tvxCAPIForgetPin(key);
  if (key->key != 0) CryptDestroyKey(key->key);
  if (key->provider != 0) CryptReleaseContext(key->provider, 0);
  std::free(key);
}

extern "C" int32_t TVXCAPI_GetPrivateKey(TVCAPIHandle* cert, TVCAPIHandle** out) {
  if (cert == nullptr || cert->data == nullptr || out == nullptr) return TVCAPI_BAD_ARGUMENT;
  if (cert->type != TVCAPI_CERTIFICATE) return TVCAPI_WRONG_HANDLE_TYPE;
  std::int32_t code = TVCAPI_OK;
  CRYPT_KEY_PROV_INFO* info =
      tvxCAPIKeyProvInfo(static_cast<PCCERT_CONTEXT>(cert->data), code, kOperation);
  if (info == nullptr) return code;
  char* provider = nullptr;
  char* container = nullptr;
  code = tvxCAPIProviderNames(*info, &provider, &container);
  const DWORD providerType = info->dwProvType;
  const DWORD keySpec = info->dwKeySpec;
  std::free(info);
  if (code != TVCAPI_OK) return code;

  HCRYPTPROV context = 0;
  const BOOL acquired = CryptAcquireContextA(&context, container, provider, providerType, 0);
  std::free(provider);
  std::free(container);
  if (!acquired) {
    TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CryptAcquireContextA");
    return TVCAPI_NO_CSP_CONTEXT;
  }
  HCRYPTKEY key = 0;
  if (!CryptGetUserKey(context, keySpec, &key)) {
    TVCAPI_REPORT_CALL("TVXCAPI", kOperation, "CryptGetUserKey");
    CryptReleaseContext(context, 0);
    return TVCAPI_FAILED;
  }
  auto* record = static_cast<TVCAPIKeyRecord*>(std::malloc(sizeof(TVCAPIKeyRecord)));
  if (record == nullptr) {
    TVCAPI_REPORT_NO_MEMORY("TVXCAPI", kOperation);
    CryptDestroyKey(key);
    CryptReleaseContext(context, 0);
    return TVCAPI_NO_MEMORY;
  }
  *record = TVCAPIKeyRecord{context, key, keySpec};
  code = tvxCAPICreateHandle(out, TVCAPI_PRIVATE_KEY, record, &tvxCAPIPrivateKeyCoder,
                             &tvxCAPIPrivateKeyOps);
  if (code != TVCAPI_OK) tvxCAPIReleaseKeyRecord(record);
  return code;
}

extern "C" int32_t TVXCAPI_KeySize(TVCAPIHandle* key) {
  if (key == nullptr || key->data == nullptr) return -1;
  if (key->type != TVCAPI_PRIVATE_KEY && key->type != TVCAPI_PUBLIC_KEY) return -1;
  DWORD bits = 0;
  DWORD length = sizeof bits;
  if (!CryptGetKeyParam(static_cast<TVCAPIKeyRecord*>(key->data)->key, KP_KEYLEN,
                        reinterpret_cast<BYTE*>(&bits), &length, 0) ||
      length == 0 || length > sizeof bits)
    return -1;
  // Only the returned bytes are valid (little-endian, as Windows runs).
  if (length < sizeof bits) bits &= (DWORD{1} << (8 * length)) - 1;
  return static_cast<int32_t>((bits + 7) / 8);
}
