// The certificate coder: a certificate context's encoded bytes out, a new context in.
#include <cstdlib>
#include <cstring>

#include "TVCAPI/coder_internal.h"

namespace {

std::int32_t writeCertificate(const void* object, std::uint8_t* buffer, std::int32_t capacity) {
  const auto* context = static_cast<PCCERT_CONTEXT>(object);
  if (context->cbCertEncoded > 0x7FFFFFFF) return -1;
  const auto size = static_cast<std::int32_t>(context->cbCertEncoded);
  if (buffer != nullptr && capacity >= size) {
    std::memcpy(buffer, context->pbCertEncoded, context->cbCertEncoded);
  }
  return size;
}

std::int32_t buildCertificate(const std::uint8_t* der, std::uint32_t length, TVCAPIHandle** out) {
  PCCERT_CONTEXT context =
      CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, length);
  if (context == nullptr) return TVCAPI_BAD_CERTIFICATE;
  const std::int32_t rc =
      tvxCAPICreateHandle(out, TVCAPI_CERTIFICATE, const_cast<CERT_CONTEXT*>(context),
                          &tvxCAPICertificateCoder, nullptr);
  if (rc != TVCAPI_OK) CertFreeCertificateContext(context);
  return rc;
}

int32_t encodeCertificate(TVCAPIHandle* handle, TVCAPI_BLOB* blob, uint32_t options,
                          const int32_t* armour) {
  const std::int32_t checked = tvxCAPICheckHandle(handle, TVCAPI_CERTIFICATE);
  if (checked != TVCAPI_OK) return checked;
  return tvxCAPI_ASN1_Encode(handle->data, writeCertificate, blob, options, armour, "CERTIFICATE",
                             false);
}

int32_t decodeCertificate(TVCAPIHandle** out, const uint8_t* data, uint32_t length,
                          uint32_t options) {
  return tvxCAPI_ASN1_Decode(out, data, length, options, "CERTIFICATE;X509 CERTIFICATE",
                             TVCAPI_BAD_CERTIFICATE, buildCertificate, false);
}

void releaseCertificate(TVCAPIHandle* handle) {
  if (handle->data != nullptr)
    CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(handle->data));
  std::free(handle);
}

}  // namespace

extern "C" const TVCAPICoder tvxCAPICertificateCoder = {encodeCertificate,   decodeCertificate,
                                                        tvxCAPINotSupported, tvxCAPINotSupported,
                                                        releaseCertificate,  nullptr};
