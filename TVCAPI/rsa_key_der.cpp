// RSA keys between a provider and DER: exported as key blobs and written as PKCS#1 (private)
// or SubjectPublicKeyInfo (public); imported through the library's own named containers.
#include <cstdlib>

#include "TVCAPI/core_internal.h"
#include "TVCAPI/rsa_key_blob.h"

namespace {

constexpr const char* kPrivateContainer = "privatekey.rsa.tvcapi.vornix.tarvonel";
constexpr const char* kPublicContainer = "publickey.rsa.tvcapi.vornix.tarvonel";
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The key's blob of that type in new memory (wiped and freed by the caller), or null.
BYTE* exportBlob(const TVCAPIKeyRecord* record, DWORD type, DWORD& length, const char* operation) {
  length = 0;
  if (record == nullptr) return nullptr;
  if (!CryptExportKey(record->key, 0, type, 0, nullptr, &length) || length == 0) {
    tvxCAPICallFailed(kModuleLib, __LINE__, operation, "CryptExportKey");
    return nullptr;
  }
  auto* blob = static_cast<BYTE*>(std::malloc(length));
  if (blob == nullptr) {
    tvxCAPIOutOfMemory(kModuleLib, __LINE__, operation);
    return nullptr;
  }
  const DWORD capacity = length;
  if (!CryptExportKey(record->key, 0, type, 0, blob, &length) || length > capacity) {
    tvxCAPICallFailed(kModuleLib, __LINE__, operation, "CryptExportKey");
    tvxCAPISecureZero(blob, capacity);
    std::free(blob);
    return nullptr;
  }
  return blob;
}

// Imports a blob into a context on the named container; the new record owns both.
TVCAPIKeyRecord* importBlob(const char* container, const BYTE* blob, std::size_t length,
                            const char* operation) {
  HCRYPTPROV context = tvxCAPIAcquireKeyContainer(container, true);
  if (context == 0) return nullptr;
  HCRYPTKEY key = 0;
  if (!CryptImportKey(context, blob, static_cast<DWORD>(length), 0, CRYPT_EXPORTABLE, &key)) {
    tvxCAPICallFailed(kModuleLib, __LINE__, operation, "CryptImportKey");
    tvxCAPIReleaseContext(context);
    return nullptr;
  }
  TVCAPIKeyRecord* record = tvxCAPINewKeyRecord(context, key, AT_KEYEXCHANGE);
  if (record == nullptr) {
    tvxCAPIOutOfMemory(kModuleLib, __LINE__, operation);
    CryptDestroyKey(key);
    tvxCAPIReleaseContext(context);
  }
  return record;
}

}  // namespace

extern "C" int32_t ExportRSAPrivateKeyDER(const TVCAPIKeyRecord* key, uint8_t* buffer,
                                          int32_t capacity) {
  DWORD length = 0;
  BYTE* blob = exportBlob(key, PRIVATEKEYBLOB, length, "ExportRSAPrivateKeyDER");
  if (blob == nullptr) return -1;
  const std::size_t room =
      buffer != nullptr && capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
  const std::int32_t size =
      tvxCAPIPrivateBlobToDer(blob, length, room != 0 ? buffer : nullptr, room);
  tvxCAPISecureZero(blob, length);
  std::free(blob);
  return size;
}

extern "C" int32_t ExportRSAPublicKeyInfoDER(const TVCAPIKeyRecord* key, uint8_t* buffer,
                                             int32_t capacity) {
  DWORD length = 0;
  BYTE* blob = exportBlob(key, PUBLICKEYBLOB, length, "ExportRSAPublicKeyInfoDER");
  if (blob == nullptr) return -1;
  std::int32_t size = -1;
  const std::int32_t rsaSize = tvxCAPIPublicBlobToDer(blob, length, nullptr, 0);
  auto* rsa =
      rsaSize > 0 ? static_cast<BYTE*>(std::malloc(static_cast<std::size_t>(rsaSize))) : nullptr;
  if (rsaSize > 0 && rsa == nullptr) {
    tvxCAPIOutOfMemory(kModuleLib, __LINE__, "ExportRSAPublicKeyInfoDER");
  }
  if (rsa != nullptr &&
      tvxCAPIPublicBlobToDer(blob, length, rsa, static_cast<std::size_t>(rsaSize)) == rsaSize) {
    char rsaEncryption[] = szOID_RSA_RSA;
    CERT_PUBLIC_KEY_INFO info{};
    info.Algorithm.pszObjId = rsaEncryption;
    info.PublicKey.cbData = static_cast<DWORD>(rsaSize);
    info.PublicKey.pbData = rsa;
    DWORD needed = 0;
    if (!CryptEncodeObject(kEncoding, X509_PUBLIC_KEY_INFO, &info, nullptr, &needed) ||
        needed > 0x7FFFFFFF) {
      tvxCAPICallFailed(kModuleLib, __LINE__, "ExportRSAPublicKeyInfoDER", "CryptEncodeObject");
    } else if (buffer == nullptr || capacity < static_cast<std::int32_t>(needed)) {
      size = static_cast<std::int32_t>(needed);
    } else {
      DWORD written = static_cast<DWORD>(capacity);
      if (CryptEncodeObject(kEncoding, X509_PUBLIC_KEY_INFO, &info, buffer, &written)) {
        size = static_cast<std::int32_t>(written);
      } else {
        tvxCAPICallFailed(kModuleLib, __LINE__, "ExportRSAPublicKeyInfoDER", "CryptEncodeObject");
      }
    }
  }
  std::free(rsa);
  std::free(blob);
  return size;
}

extern "C" TVCAPIKeyRecord* ImportRSAPrivateKeyDER(const uint8_t* der, uint32_t length) {
  BYTE* blob = nullptr;
  std::size_t blobLength = 0;
  if (!tvxCAPIDerToPrivateBlob(der, length, &blob, &blobLength)) return nullptr;
  TVCAPIKeyRecord* record =
      importBlob(kPrivateContainer, blob, blobLength, "ImportRSAPrivateKeyDER");
  tvxCAPISecureZero(blob, blobLength);
  std::free(blob);
  return record;
}

extern "C" TVCAPIKeyRecord* ImportRSAPublicKeyInfoDER(const uint8_t* der, uint32_t length) {
  if (der == nullptr || length == 0) return nullptr;
  DWORD size = 0;
  if (!CryptDecodeObject(kEncoding, X509_PUBLIC_KEY_INFO, der, length, 0, nullptr, &size) ||
      size < sizeof(CERT_PUBLIC_KEY_INFO)) {
    return nullptr;
  }
  auto* info = static_cast<CERT_PUBLIC_KEY_INFO*>(std::malloc(size));
  if (info == nullptr) {
    tvxCAPIOutOfMemory(kModuleLib, __LINE__, "ImportRSAPublicKeyInfoDER");
    return nullptr;
  }
  TVCAPIKeyRecord* record = nullptr;
  BYTE* blob = nullptr;
  std::size_t blobLength = 0;
  if (CryptDecodeObject(kEncoding, X509_PUBLIC_KEY_INFO, der, length, 0, info, &size) &&
      tvxCAPIDerToPublicBlob(info->PublicKey.pbData, info->PublicKey.cbData, &blob, &blobLength)) {
    record = importBlob(kPublicContainer, blob, blobLength, "ImportRSAPublicKeyInfoDER");
  }
  std::free(blob);
  std::free(info);
  return record;
}
