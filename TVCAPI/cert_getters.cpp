// What the control reads from a certificate handle: subject and issuer as text, the serial
// number most significant byte first, and the provider that holds its key.
#include <cstdlib>

#include "TVCAPI/core_internal.h"

namespace {

// X.500 names one RDN per line (CR LF), values unquoted, in their encoded order.
constexpr DWORD kNameText =
    CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG | CERT_NAME_STR_CRLF_FLAG;

std::int32_t nameText(TVCAPIHandle* cert, bool subject, char** text, const char* operation) {
  const std::int32_t checked = tvxCAPICheckHandle(cert, TVCAPI_CERTIFICATE);
  if (checked != TVCAPI_OK) return checked;
  if (text == nullptr) return TVCAPI_BAD_ARGUMENT;
  const auto* context = static_cast<PCCERT_CONTEXT>(cert->data);
  CERT_NAME_BLOB* name = subject ? &context->pCertInfo->Subject : &context->pCertInfo->Issuer;
  const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  const DWORD size = CertNameToStrA(encoding, name, kNameText, nullptr, 0);
  if (size == 0) return TVCAPI_FAILED;
  auto* out = static_cast<char*>(std::malloc(size));
  if (out == nullptr) return tvxCAPIOutOfMemory(kModuleXCAPI, __LINE__, operation);
  if (CertNameToStrA(encoding, name, kNameText, out, size) == 0) {
    std::free(out);
    return TVCAPI_FAILED;
  }
  out[size - 1] = '\0';
  *text = out;
  return TVCAPI_OK;
}

}  // namespace

extern "C" int32_t TVXCAPI_CertGetSubject(TVCAPIHandle* cert, uint32_t, char** text) {
  return nameText(cert, true, text, "TVXCAPI_CertGetSubject");
}

extern "C" int32_t TVXCAPI_CertGetIssuer(TVCAPIHandle* cert, uint32_t, char** text) {
  return nameText(cert, false, text, "TVXCAPI_CertGetIssuer");
}

// CryptoAPI keeps the serial number least significant byte first; the certificate's encoding
// and the callers want it the other way round.
extern "C" int32_t TVXCAPI_CertGetSerialNumber(TVCAPIHandle* cert, uint32_t, TVCAPI_BLOB* blob) {
  const std::int32_t checked = tvxCAPICheckHandle(cert, TVCAPI_CERTIFICATE);
  if (checked != TVCAPI_OK) return checked;
  if (blob == nullptr) return TVCAPI_BAD_ARGUMENT;
  const CRYPT_INTEGER_BLOB& serial =
      static_cast<PCCERT_CONTEXT>(cert->data)->pCertInfo->SerialNumber;
  std::uint8_t* out = blob->data;
  if (out == nullptr) {
    out = static_cast<std::uint8_t*>(std::malloc(serial.cbData != 0 ? serial.cbData : 1));
    if (out == nullptr) {
      return tvxCAPIOutOfMemory(kModuleXCAPI, __LINE__, "TVXCAPI_CertGetSerialNumber");
    }
  } else if (blob->count < serial.cbData) {
    return TVCAPI_BUFFER_TOO_SMALL;
  }
  for (DWORD i = 0; i < serial.cbData; ++i) out[i] = serial.pbData[serial.cbData - 1 - i];
  blob->data = out;
  blob->count = serial.cbData;
  return TVCAPI_OK;
}

std::int32_t tvxCAPIKeyProvInfo(PCCERT_CONTEXT context, const char* operation,
                                CRYPT_KEY_PROV_INFO** info) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) ||
      size < sizeof(CRYPT_KEY_PROV_INFO)) {
    return TVCAPI_NO_KEY_PROVIDER;
  }
  auto* buffer = static_cast<CRYPT_KEY_PROV_INFO*>(std::malloc(size));
  if (buffer == nullptr) return tvxCAPIOutOfMemory(kModuleXCAPI, __LINE__, operation);
  if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, buffer, &size)) {
    tvxCAPICallFailed(kModuleXCAPI, __LINE__, operation, "CertGetCertificateContextProperty");
    std::free(buffer);
    return TVCAPI_FAILED;
  }
  *info = buffer;
  return TVCAPI_OK;
}

extern "C" int32_t TVXCAPI_CertGetProviderName(TVCAPIHandle* cert, char** providerName,
                                               char** containerName) {
  const std::int32_t checked = tvxCAPICheckHandle(cert, TVCAPI_CERTIFICATE);
  if (checked != TVCAPI_OK) return checked;
  if (providerName == nullptr) return TVCAPI_BAD_ARGUMENT;
  CRYPT_KEY_PROV_INFO* info = nullptr;
  const std::int32_t rc = tvxCAPIKeyProvInfo(static_cast<PCCERT_CONTEXT>(cert->data),
                                             "TVXCAPI_CertGetProviderName", &info);
  if (rc != TVCAPI_OK) return rc == TVCAPI_NO_KEY_PROVIDER ? TVCAPI_FAILED : rc;
  char* provider = tvxCAPINarrowText(info->pwszProvName);
  char* container = containerName != nullptr ? tvxCAPINarrowText(info->pwszContainerName) : nullptr;
  TVXCAPI_Free(info);
  if (provider == nullptr || (containerName != nullptr && container == nullptr)) {
    TVXCAPI_Free(provider);
    TVXCAPI_Free(container);
    return TVCAPI_FAILED;
  }
  *providerName = provider;
  if (containerName != nullptr) *containerName = container;
  return TVCAPI_OK;
}
