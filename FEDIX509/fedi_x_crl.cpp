// Revocation-list record:
// SEQUENCE { typeTag printable string "ReVoKeCl", version INTEGER, second INTEGER,
//            third INTEGER, crl CertificateList }
// The CertificateList is OpenSSL's own X509_CRL item, which keeps the received encoding of the
// signed body, so a decoded list re-encodes byte for byte.
#include "FEDIX509/fedi_crl.h"

#include <openssl/err.h>

#include <cstring>

#include "FEDIX509/fedi_internal.h"

// clang-format off
ASN1_SEQUENCE(FEDICRL) = {
    ASN1_SIMPLE(FEDICRL, typeTag, ASN1_PRINTABLE),
    ASN1_SIMPLE(FEDICRL, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDICRL, second, ASN1_INTEGER),
    ASN1_SIMPLE(FEDICRL, third, ASN1_INTEGER),
    ASN1_SIMPLE(FEDICRL, crl, X509_CRL),
} ASN1_SEQUENCE_END(FEDICRL)
// clang-format on

KESTRUNE_FEDI_CODERS(FEDICRL)

namespace {
constexpr const char* kCrlTag = "ReVoKeCl";

}  // namespace

FEDICRL* FEDICRL_new() {
  auto* record = reinterpret_cast<FEDICRL*>(ASN1_item_new(ASN1_ITEM_rptr(FEDICRL)));
  if (record == nullptr) {
    ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  // The template makes the tag with the family's default type; a new record is PrintableString.
  ASN1_STRING* tag = ASN1_STRING_type_new(V_ASN1_PRINTABLESTRING);
  if (tag == nullptr ||
      ASN1_STRING_set(tag, kCrlTag, static_cast<int>(std::strlen(kCrlTag))) != 1 ||
      ASN1_INTEGER_set(record->version, 0) != 1) {
    ASN1_STRING_free(tag);
    FEDICRL_free(record);
    ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  ASN1_STRING_free(record->typeTag);
  record->typeTag = tag;
  return record;
}

void FEDICRL_free(FEDICRL* record) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(record), ASN1_ITEM_rptr(FEDICRL));
}
