// Certificate ::= SEQUENCE { body FEDI_X509_CINF, signatureAlgorithm AlgorithmIdentifier,
//                            signature BIT STRING }
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include "FEDIX509/fedi_internal.h"

namespace {

int certificateCallback(int operation, ASN1_VALUE** value, const ASN1_ITEM*, void*) {
  auto* cert = reinterpret_cast<FEDI_X509*>(*value);
  switch (operation) {
    case ASN1_OP_NEW_POST:
      cert->name = nullptr;
      cert->ex_pathlen = -1;
      break;
    case ASN1_OP_D2I_PRE:
    case ASN1_OP_FREE_PRE:
      OPENSSL_free(cert->name);
      cert->name = nullptr;
      break;
    case ASN1_OP_D2I_POST:
      // The subject's one-line text, as OpenSSL's certificate decoder keeps it.
      if (cert->cert_info != nullptr && cert->cert_info->subject != nullptr) {
        cert->name = X509_NAME_oneline(cert->cert_info->subject, nullptr, 0);
        if (cert->name == nullptr) return 0;
      }
      break;
    default:
      break;
  }
  return 1;
}

}  // namespace

// clang-format off
ASN1_SEQUENCE_ref(FEDI_X509, certificateCallback) = {
    ASN1_SIMPLE(FEDI_X509, cert_info, FEDI_X509_CINF),
    ASN1_SIMPLE(FEDI_X509, sig_alg, X509_ALGOR),
    ASN1_SIMPLE(FEDI_X509, signature, ASN1_BIT_STRING),
} ASN1_SEQUENCE_END_ref(FEDI_X509, FEDI_X509)
// clang-format on

IMPLEMENT_ASN1_ALLOC_FUNCTIONS(FEDI_X509)
KESTRUNE_FEDI_CODERS(FEDI_X509)

int FEDI_X509_up_ref(FEDI_X509* cert) {
  return cert != nullptr ? kestrune::fedi::detail::upRef(&cert->references, cert->lock) : 0;
}

namespace {

FEDI_X509_CINF* body(const FEDI_X509* cert) {
  return cert != nullptr ? cert->cert_info : nullptr;
}

FEDI_X509_VAL* validity(const FEDI_X509* cert) {
  FEDI_X509_CINF* info = body(cert);
  return info != nullptr ? info->validity : nullptr;
}

bool isFediTime(const ASN1_TIME* time) {
  return time != nullptr && (time->type == V_ASN1_UTCTIME || time->type == V_ASN1_GENERALIZEDTIME);
}

// replaceTime puts a copy of time in *slot; 1, or 0 leaving *slot as it was.
int replaceTime(ASN1_TIME** slot, const ASN1_TIME* time) {
  if (!isFediTime(time)) return 0;
  ASN1_STRING* copy = ASN1_STRING_dup(time);
  if (copy == nullptr) return 0;
  ASN1_STRING_free(*slot);
  *slot = copy;
  return 1;
}

int replaceName(X509_NAME** slot, const X509_NAME* name) {
  if (name == nullptr) return 0;
  return X509_NAME_set(slot, name);
}

}  // namespace

long FEDI_X509_get_version(const FEDI_X509* cert) {
  FEDI_X509_CINF* info = body(cert);
  if (info == nullptr || info->version == nullptr) return -1;
  return ASN1_INTEGER_get(info->version);
}

int FEDI_X509_set_version(FEDI_X509* cert, long version) {
  FEDI_X509_CINF* info = body(cert);
  if (info == nullptr) return 0;
  if (info->version == nullptr && (info->version = ASN1_INTEGER_new()) == nullptr) return 0;
  return ASN1_INTEGER_set(info->version, version);
}

ASN1_INTEGER* FEDI_X509_get_serialNumber(FEDI_X509* cert) {
  FEDI_X509_CINF* info = body(cert);
  return info != nullptr ? info->serialNumber : nullptr;
}

int FEDI_X509_set_serialNumber(FEDI_X509* cert, const ASN1_INTEGER* serial) {
  FEDI_X509_CINF* info = body(cert);
  if (info == nullptr || serial == nullptr) return 0;
  ASN1_INTEGER* copy = ASN1_INTEGER_dup(serial);
  if (copy == nullptr) return 0;
  ASN1_INTEGER_free(info->serialNumber);
  info->serialNumber = copy;
  return 1;
}

X509_NAME* FEDI_X509_get_issuer_name(const FEDI_X509* cert) {
  FEDI_X509_CINF* info = body(cert);
  return info != nullptr ? info->issuer : nullptr;
}

int FEDI_X509_set_issuer_name(FEDI_X509* cert, const X509_NAME* name) {
  FEDI_X509_CINF* info = body(cert);
  return info != nullptr ? replaceName(&info->issuer, name) : 0;
}

X509_NAME* FEDI_X509_get_subject_name(const FEDI_X509* cert) {
  FEDI_X509_CINF* info = body(cert);
  return info != nullptr ? info->subject : nullptr;
}

int FEDI_X509_set_subject_name(FEDI_X509* cert, const X509_NAME* name) {
  FEDI_X509_CINF* info = body(cert);
  return info != nullptr ? replaceName(&info->subject, name) : 0;
}

ASN1_TIME* FEDI_X509_get_notBefore(const FEDI_X509* cert) {
  FEDI_X509_VAL* period = validity(cert);
  return period != nullptr ? period->notBefore : nullptr;
}

ASN1_TIME* FEDI_X509_get_notAfter(const FEDI_X509* cert) {
  FEDI_X509_VAL* period = validity(cert);
  return period != nullptr ? period->notAfter : nullptr;
}

int FEDI_X509_set_notBefore(FEDI_X509* cert, const ASN1_TIME* time) {
  FEDI_X509_VAL* period = validity(cert);
  return period != nullptr ? replaceTime(&period->notBefore, time) : 0;
}

int FEDI_X509_set_notAfter(FEDI_X509* cert, const ASN1_TIME* time) {
  FEDI_X509_VAL* period = validity(cert);
  return period != nullptr ? replaceTime(&period->notAfter, time) : 0;
}

void FEDI_X509_get0_signature(const ASN1_BIT_STRING** signature, const X509_ALGOR** algorithm,
                              const FEDI_X509* cert) {
  if (signature != nullptr) *signature = cert != nullptr ? cert->signature : nullptr;
  if (algorithm != nullptr) *algorithm = cert != nullptr ? cert->sig_alg : nullptr;
}

int FEDI_X509_get_signature_nid(const FEDI_X509* cert) {
  if (cert == nullptr || cert->sig_alg == nullptr) return NID_undef;
  return OBJ_obj2nid(cert->sig_alg->algorithm);
}

FEDI_X509_PUBKEY* FEDI_X509_get_X509_PUBKEY(const FEDI_X509* cert) {
  FEDI_X509_CINF* info = body(cert);
  return info != nullptr ? info->key : nullptr;
}

const char* FEDI_X509_get_oneline_name(const FEDI_X509* cert) {
  return cert != nullptr ? cert->name : nullptr;
}

EVP_PKEY* FEDI_X509_get_pubkey(FEDI_X509* cert) {
  FEDI_X509_CINF* info = body(cert);
  return info != nullptr ? FEDI_X509_PUBKEY_get(info->key) : nullptr;
}

int FEDI_X509_verify(FEDI_X509* cert, EVP_PKEY* key) {
  FEDI_X509_CINF* info = body(cert);
  if (info == nullptr || key == nullptr || cert->sig_alg == nullptr || cert->signature == nullptr) {
    return -1;
  }
  // The body is re-encoded, which reproduces the received DER byte for byte.
  const int verified =
      ASN1_item_verify(ASN1_ITEM_rptr(FEDI_X509_CINF), cert->sig_alg, cert->signature, info, key);
  return verified > 0 ? 1 : verified;
}

int FEDI_X509_sign(FEDI_X509* cert, EVP_PKEY* key, const EVP_MD* md) {
  FEDI_X509_CINF* info = body(cert);
  if (info == nullptr || key == nullptr || md == nullptr) return 0;
  if (info->signature == nullptr && (info->signature = X509_ALGOR_new()) == nullptr) return 0;
  if (cert->sig_alg == nullptr && (cert->sig_alg = X509_ALGOR_new()) == nullptr) return 0;
  if (cert->signature == nullptr && (cert->signature = ASN1_BIT_STRING_new()) == nullptr) {
    return 0;
  }
  const int length = ASN1_item_sign(ASN1_ITEM_rptr(FEDI_X509_CINF), info->signature, cert->sig_alg,
                                    cert->signature, info, key, md);
  return length > 0 ? length : 0;
}
