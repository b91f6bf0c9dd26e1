// What the signing session reads from a certificate handle: its names as text, its serial
// number most significant byte first, and the provider that holds its key.
#include <cstdlib>

#include "TVCAPI/report.h"
#include "TVCAPI/tvcapi_internal.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// X.500 form, one RDN per line (CR LF), values not quoted.
constexpr DWORD kNameForm =
    CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG | CERT_NAME_STR_CRLF_FLAG;

std::int32_t checkCertificate(TVCAPIHandle* cert) {
  if (cert == nullptr || cert->data == nullptr) return TVCAPI_BAD_ARGUMENT;
  if (cert->type != TVCAPI_CERTIFICATE) return TVCAPI_WRONG_HANDLE_TYPE;
  return TVCAPI_OK;
}

PCCERT_CONTEXT contextOf(TVCAPIHandle* cert) {
  return static_cast<PCCERT_CONTEXT>(cert->data);
}

std::int32_t nameText(TVCAPIHandle* cert, bool subject, char** text, const char* operation) {
  if (const std::int32_t code = checkCertificate(cert); code != TVCAPI_OK) return code;
  if (text == nullptr) return TVCAPI_BAD_ARGUMENT;
  CERT_NAME_BLOB* name =
      subject ? &contextOf(cert)->pCertInfo->Subject : &contextOf(cert)->pCertInfo->Issuer;
  const DWORD length = CertNameToStrA(kEncoding, name, kNameForm, nullptr, 0);
  auto* out = static_cast<char*>(std::malloc(length == 0 ? 1 : length));
  if (out == nullptr) {
    TVCAPI_REPORT_NO_MEMORY("TVXCAPI", operation);
    return TVCAPI_NO_MEMORY;
  }
  out[0] = '\0';
  if (length != 0) CertNameToStrA(kEncoding, name, kNameForm, out, length);
  *text = out;
  return TVCAPI_OK;
}

// A UTF-16 name of the key-provider property in the ANSI code page; null when it converts to
// nothing or memory runs out (noMemory tells which).
char* ansi(const wchar_t* wide, bool& noMemory) {
  if (wide == nullptr) return nullptr;
  const int length = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return nullptr;
  auto* out = static_cast<char*>(std::malloc(static_cast<std::size_t>(length)));
  if (out == nullptr) {
    noMemory = true;
    return nullptr;
  }
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, out, length, nullptr, nullptr) != length) {
    std::free(out);
    return nullptr;
  }
  return out;
}

}  // namespace

extern "C" int32_t TVXCAPI_CertGetSubject(TVCAPIHandle* cert, uint32_t, char** text) {
  return nameText(cert, true, text, "TVXCAPI_CertGetSubject");
}

extern "C" int32_t TVXCAPI_CertGetIssuer(TVCAPIHandle* cert, uint32_t, char** text) {
  return nameText(cert, false, text, "TVXCAPI_CertGetIssuer");
}

extern "C" int32_t TVXCAPI_CertGetSerialNumber(TVCAPIHandle* cert, uint32_t, TVCAPI_BLOB* blob) {
  if (const std::int32_t code = checkCertificate(cert); code != TVCAPI_OK) return code;
  if (blob == nullptr) return TVCAPI_BAD_ARGUMENT;
  // CryptoAPI keeps the serial least significant byte first.
  const CRYPT_INTEGER_BLOB& serial = contextOf(cert)->pCertInfo->SerialNumber;
  std::uint8_t* out = blob->data;
  if (out == nullptr) {
    out = static_cast<std::uint8_t*>(std::malloc(serial.cbData == 0 ? 1 : serial.cbData));
    if (out == nullptr) {
      TVCAPI_REPORT_NO_MEMORY("TVXCAPI", "TVXCAPI_CertGetSerialNumber");
      return TVCAPI_NO_MEMORY;
    }
  } else if (blob->count < serial.cbData) {
    return TVCAPI_BUFFER_TOO_SMALL;
  }
  for (DWORD i = 0; i < serial.cbData; ++i) out[i] = serial.pbData[serial.cbData - 1 - i];
  blob->data = out;
  blob->count = serial.cbData;
  return TVCAPI_OK;
}

// Reads the certificate's key-provider property (size first, then the value) into memory the
// caller frees; null with the code set when it can't be had.
CRYPT_KEY_PROV_INFO* tvxCAPIKeyProvInfo(PCCERT_CONTEXT context, std::int32_t& code,
                                        const char* operation) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
    code = TVCAPI_NO_KEY_PROVIDER;
    return nullptr;
  }
  auto* info = static_cast<CRYPT_KEY_PROV_INFO*>(std::malloc(size));
  if (info == nullptr) {
    TVCAPI_REPORT_NO_MEMORY("TVXCAPI", operation);
    code = TVCAPI_NO_MEMORY;
    return nullptr;
  }
  if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, info, &size)) {
    TVCAPI_REPORT_CALL("TVXCAPI", operation, "CertGetCertificateContextProperty");
    std::free(info);
    code = TVCAPI_FAILED;
    return nullptr;
  }
  code = TVCAPI_OK;
  return info;
}

// The provider and container names of the property in the ANSI code page.
std::int32_t tvxCAPIProviderNames(const CRYPT_KEY_PROV_INFO& info, char** provider,
                                  char** container) {
  bool noMemory = false;
  char* providerText = ansi(info.pwszProvName, noMemory);
  char* containerText = container != nullptr ? ansi(info.pwszContainerName, noMemory) : nullptr;
  if (providerText == nullptr || (container != nullptr && containerText == nullptr)) {
    std::free(providerText);
    std::free(containerText);
    return noMemory ? TVCAPI_NO_MEMORY : TVCAPI_FAILED;
  }
  *provider = providerText;
  if (container != nullptr) *container = containerText;
  return TVCAPI_OK;
}

extern "C" int32_t TVXCAPI_CertGetProviderName(TVCAPIHandle* cert, char** providerName,
                                               char** containerName) {
  if (const std::int32_t code = checkCertificate(cert); code != TVCAPI_OK) return code;
  if (providerName == nullptr) return TVCAPI_BAD_ARGUMENT;
  std::int32_t code = TVCAPI_OK;
  CRYPT_KEY_PROV_INFO* info =
      tvxCAPIKeyProvInfo(contextOf(cert), code, "TVXCAPI_CertGetProviderName");
  if (info == nullptr) return code == TVCAPI_NO_KEY_PROVIDER ? TVCAPI_FAILED : code;
  code = tvxCAPIProviderNames(*info, providerName, containerName);
  std::free(info);
  return code;
}
