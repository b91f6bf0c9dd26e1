// Certificate bag:
// SEQUENCE { typeTag printable string "CeRtIfIc", version INTEGER, type INTEGER,
//            time FEDI time, count INTEGER, certificates SEQUENCE OF Certificate }
#include <openssl/err.h>

#include <cstring>

#include "FEDIX509/fedi_internal.h"

// clang-format off
ASN1_SEQUENCE_ref(FEDICERT, nullptr) = {
    ASN1_SIMPLE(FEDICERT, typeTag, ASN1_PRINTABLE),
    ASN1_SIMPLE(FEDICERT, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDICERT, type, ASN1_INTEGER),
    ASN1_SIMPLE(FEDICERT, time, FEDI_TIME),
    ASN1_SIMPLE(FEDICERT, count, ASN1_INTEGER),
    ASN1_SIMPLE(FEDICERT, certificates, FEDI_CERT_LIST),
} ASN1_SEQUENCE_END_ref(FEDICERT, FEDICERT)
// clang-format on

KESTRUNE_FEDI_CODERS(FEDICERT)

namespace {
constexpr const char* kBagTag = "CeRtIfIc";

int setInteger(ASN1_INTEGER** slot, long value) {
  if (*slot == nullptr && (*slot = ASN1_INTEGER_new()) == nullptr) return 0;
  return ASN1_INTEGER_set(*slot, value);
}

}  // namespace

FEDICERT* FEDICERT_new() {
  auto* bag = reinterpret_cast<FEDICERT*>(ASN1_item_new(ASN1_ITEM_rptr(FEDICERT)));
  if (bag == nullptr) {
    ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  if (FEDICERT_set_typeTag(bag, kBagTag) != 1 || FEDICERT_set_version(bag, 0) != 1) {
    FEDICERT_free(bag);
    ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  return bag;
}

void FEDICERT_free(FEDICERT* bag) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(bag), ASN1_ITEM_rptr(FEDICERT));
}

int FEDICERT_up_ref(FEDICERT* bag) {
  return bag != nullptr ? kestrune::fedi::detail::upRef(&bag->references, bag->lock) : 0;
}

int FEDICERT_get_num(const FEDICERT* bag) {
  if (bag == nullptr || bag->certificates == nullptr || bag->certificates->certs == nullptr) {
    return 0;
  }
  return sk_FEDI_X509_num(bag->certificates->certs);
}

FEDI_X509* FEDICERT_get_cert(FEDICERT* bag, int index) {
  if (index < 0 || index >= FEDICERT_get_num(bag)) return nullptr;
  FEDI_X509* cert = sk_FEDI_X509_value(bag->certificates->certs, index);
  if (FEDI_X509_up_ref(cert) != 1) return nullptr;
  // The caller may change the certificate: the cached DER can no longer be trusted.
  bag->certificates->modified = 1;
  return cert;
}

int FEDICERT_push_cert(FEDICERT* bag, FEDI_X509* cert) {
  if (bag == nullptr || cert == nullptr || bag->certificates == nullptr ||
      bag->certificates->certs == nullptr) {
    return 0;
  }
  if (sk_FEDI_X509_push(bag->certificates->certs, cert) <= 0) return 0;
  bag->certificates->modified = 1;
  return 1;
}

int FEDICERT_set_version(FEDICERT* bag, long version) {
  return bag != nullptr ? setInteger(&bag->version, version) : 0;
}

int FEDICERT_set_type(FEDICERT* bag, long type) {
  return bag != nullptr ? setInteger(&bag->type, type) : 0;
}

int FEDICERT_set_count(FEDICERT* bag, long count) {
  return bag != nullptr ? setInteger(&bag->count, count) : 0;
}

int FEDICERT_set_time(FEDICERT* bag, const ASN1_TIME* time) {
  if (bag == nullptr || time == nullptr ||
      (time->type != V_ASN1_UTCTIME && time->type != V_ASN1_GENERALIZEDTIME)) {
    return 0;
  }
  ASN1_STRING* copy = ASN1_STRING_dup(time);
  if (copy == nullptr) return 0;
  ASN1_STRING_free(bag->time);
  bag->time = copy;
  return 1;
}

int FEDICERT_set_typeTag(FEDICERT* bag, const char* text) {
  if (bag == nullptr || text == nullptr) return 0;
  ASN1_STRING* tag = ASN1_STRING_type_new(V_ASN1_PRINTABLESTRING);
  if (tag == nullptr || ASN1_STRING_set(tag, text, static_cast<int>(std::strlen(text))) != 1) {
    ASN1_STRING_free(tag);
    return 0;
  }
  ASN1_STRING_free(bag->typeTag);
  bag->typeTag = tag;
  return 1;
}
