// certificates SEQUENCE OF Certificate, the last field of a bag. The list keeps the DER it
// last wrote and writes it again only after a change (modified set).
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>

#include "FEDIX509/fedi_internal.h"

// clang-format off
ASN1_ITEM_TEMPLATE(FEDI_X509_SEQ) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF, 0, FEDI_X509_SEQ, FEDI_X509)
ASN1_ITEM_TEMPLATE_END(FEDI_X509_SEQ)
// clang-format on

namespace {
FEDI_CERT_LIST* newList() {
  auto* list = static_cast<FEDI_CERT_LIST*>(OPENSSL_zalloc(sizeof(FEDI_CERT_LIST)));
  if (list == nullptr) return nullptr;
  list->certs = sk_FEDI_X509_new_null();
  if (list->certs == nullptr) {
    OPENSSL_free(list);
    return nullptr;
  }
  list->modified = 1;
  return list;
}

void freeList(FEDI_CERT_LIST* list) {
  if (list == nullptr) return;
  sk_FEDI_X509_pop_free(list->certs, FEDI_X509_free);
  OPENSSL_free(list->der);
  OPENSSL_free(list);
}

int listNew(ASN1_VALUE** value, const ASN1_ITEM*) {
  *value = reinterpret_cast<ASN1_VALUE*>(newList());
  if (*value == nullptr) ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
  return *value != nullptr ? 1 : 0;
}

void listFree(ASN1_VALUE** value, const ASN1_ITEM*) {
  freeList(reinterpret_cast<FEDI_CERT_LIST*>(*value));
  *value = nullptr;
}

void listClear(ASN1_VALUE** value, const ASN1_ITEM*) {
  *value = nullptr;
}

int listDecode(ASN1_VALUE** value, const unsigned char** pos, long len, const ASN1_ITEM*, int tag,
               int, char optional, ASN1_TLC*) {
  if (tag != -1 || optional != 0) {  // always the plain last field
    ERR_raise(ERR_LIB_ASN1, ASN1_R_BAD_TEMPLATE);
    return 0;
  }
  auto* list = reinterpret_cast<FEDI_CERT_LIST*>(*value);
  if (list == nullptr && listNew(value, nullptr) != 1) return 0;
  list = reinterpret_cast<FEDI_CERT_LIST*>(*value);
  STACK_OF(FEDI_X509)* certs = nullptr;
  if (ASN1_item_d2i(reinterpret_cast<ASN1_VALUE**>(&certs), pos, len,
                    ASN1_ITEM_rptr(FEDI_X509_SEQ)) == nullptr) {
    return 0;
  }
  sk_FEDI_X509_pop_free(list->certs, FEDI_X509_free);
  list->certs = certs;
  // Rebuilt from the certificates on the next encode: the received bytes may be in a
  // non-DER form (indefinite lengths) that is not to be written again.
  list->modified = 1;
  return 1;
}

// encodeCache rebuilds the cached DER when the list changed; false on failure.
bool encodeCache(FEDI_CERT_LIST* list) {
  if (list->modified == 0 && list->der != nullptr) return true;
  if (list->certs == nullptr) return false;
  unsigned char* der = nullptr;
  const int length = ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(list->certs), &der,
                                   ASN1_ITEM_rptr(FEDI_X509_SEQ));
  if (length <= 0) return false;
  OPENSSL_free(list->der);
  list->der = der;
  list->der_length = length;
  list->modified = 0;
  return true;
}

int listEncode(const ASN1_VALUE** value, unsigned char** pos, const ASN1_ITEM*, int tag, int) {
  // The cache is the list's own state, not part of its value.
  auto* list = reinterpret_cast<FEDI_CERT_LIST*>(const_cast<ASN1_VALUE*>(*value));
  if (tag != -1 || list == nullptr || !encodeCache(list)) return -1;
  if (pos != nullptr && *pos != nullptr) *pos = std::copy_n(list->der, list->der_length, *pos);
  return list->der_length;
}

const ASN1_EXTERN_FUNCS kListFunctions = {nullptr,    listNew, listFree, listClear, listDecode,
                                          listEncode, nullptr, nullptr,  nullptr};

}  // namespace

IMPLEMENT_EXTERN_ASN1(FEDI_CERT_LIST, V_ASN1_SEQUENCE, kListFunctions)
