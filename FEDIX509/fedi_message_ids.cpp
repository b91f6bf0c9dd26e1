// The identifier records (content types 100 to 109) and the status record (999), on OpenSSL's
// ASN.1 templates. A SET OF is written by the template engine in DER order (sorted encodings)
// and decoded in received order.
#include <openssl/asn1t.h>
#include <openssl/err.h>

#include <cstring>

#include "FEDIX509/fedi_internal.h"
#include "FEDIX509/fedi_message.h"

// clang-format off
ASN1_SEQUENCE(FEDI_ID_PAIR) = {
    ASN1_SIMPLE(FEDI_ID_PAIR, text, ASN1_PRINTABLE),
    ASN1_SIMPLE(FEDI_ID_PAIR, code, ASN1_PRINTABLE),
} ASN1_SEQUENCE_END(FEDI_ID_PAIR)

ASN1_SEQUENCE(FEDI_OSID_REQ) = {
    ASN1_SIMPLE(FEDI_OSID_REQ, typeTag, ASN1_PRINTABLE),
    ASN1_SIMPLE(FEDI_OSID_REQ, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_OSID_REQ, type, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_OSID_REQ, name, ASN1_PRINTABLE),
} ASN1_SEQUENCE_END(FEDI_OSID_REQ)

ASN1_SEQUENCE(FEDI_OSID_RESP) = {
    ASN1_SIMPLE(FEDI_OSID_RESP, typeTag, ASN1_PRINTABLE),
    ASN1_SIMPLE(FEDI_OSID_RESP, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_OSID_RESP, type, ASN1_INTEGER),
    ASN1_SET_OF(FEDI_OSID_RESP, pairs, FEDI_ID_PAIR),
} ASN1_SEQUENCE_END(FEDI_OSID_RESP)

ASN1_SEQUENCE(FEDI_CSID_REQ) = {
    ASN1_SIMPLE(FEDI_CSID_REQ, typeTag, ASN1_PRINTABLE),
    ASN1_SIMPLE(FEDI_CSID_REQ, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_CSID_REQ, type, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_CSID_REQ, first, ASN1_PRINTABLE),
    ASN1_SIMPLE(FEDI_CSID_REQ, second, ASN1_PRINTABLE),
} ASN1_SEQUENCE_END(FEDI_CSID_REQ)

ASN1_SEQUENCE(FEDI_CSID_RESP) = {
    ASN1_SIMPLE(FEDI_CSID_RESP, typeTag, ASN1_PRINTABLE),
    ASN1_SIMPLE(FEDI_CSID_RESP, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_CSID_RESP, type, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_CSID_RESP, pair, FEDI_ID_PAIR),
    ASN1_SET_OF(FEDI_CSID_RESP, pairs, FEDI_ID_PAIR),
} ASN1_SEQUENCE_END(FEDI_CSID_RESP)

ASN1_SEQUENCE(FEDI_CCHN_REQ) = {
    ASN1_SIMPLE(FEDI_CCHN_REQ, typeTag, ASN1_PRINTABLE),
    ASN1_SIMPLE(FEDI_CCHN_REQ, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_CCHN_REQ, type, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_CCHN_REQ, sid2, ASN1_PRINTABLE),
    ASN1_SIMPLE(FEDI_CCHN_REQ, sid1, ASN1_PRINTABLE),
} ASN1_SEQUENCE_END(FEDI_CCHN_REQ)
// clang-format on

namespace {
// statusRead keeps the decoded code as a number; more than 4 bytes of INTEGER give -1.
int statusCallback(int operation, ASN1_VALUE** value, const ASN1_ITEM*, void*) {
  if (operation == ASN1_OP_D2I_POST) {
    auto* status = reinterpret_cast<FEDI_STATUS*>(*value);
    status->value = ASN1_STRING_length(status->code) > 4
                        ? -1
                        : static_cast<int>(ASN1_INTEGER_get(status->code));
  }
  return 1;
}

}  // namespace

// clang-format off
ASN1_SEQUENCE_cb(FEDI_STATUS, statusCallback) = {
    ASN1_SIMPLE(FEDI_STATUS, code, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_STATUS, text, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END_cb(FEDI_STATUS, FEDI_STATUS)
// clang-format on

KESTRUNE_FEDI_CODERS(FEDI_ID_PAIR)
KESTRUNE_FEDI_CODERS(FEDI_OSID_REQ)
KESTRUNE_FEDI_CODERS(FEDI_OSID_RESP)
KESTRUNE_FEDI_CODERS(FEDI_CSID_REQ)
KESTRUNE_FEDI_CODERS(FEDI_CSID_RESP)
KESTRUNE_FEDI_CODERS(FEDI_CCHN_REQ)
KESTRUNE_FEDI_CODERS(FEDI_STATUS)

namespace {
// typed replaces *slot with an empty string of type, plus text when given.
bool typed(ASN1_STRING** slot, int type, const char* text = nullptr) {
  ASN1_STRING* value = ASN1_STRING_type_new(type);
  if (value == nullptr ||
      (text != nullptr && ASN1_STRING_set(value, text, static_cast<int>(std::strlen(text))) != 1)) {
    ASN1_STRING_free(value);
    return false;
  }
  ASN1_STRING_free(*slot);
  *slot = value;
  return true;
}

// header sets the tag text, version 0 and the type number of an identifier record.
template <class T>
bool header(T* record, const char* tag, long type) {
  return typed(&record->typeTag, V_ASN1_PRINTABLESTRING, tag) &&
         ASN1_INTEGER_set(record->version, 0) == 1 && ASN1_INTEGER_set(record->type, type) == 1;
}

template <class T>
T* made(T* record, bool filled, void (*release)(T*)) {
  if (record != nullptr && filled) return record;
  release(record);
  ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
  return nullptr;
}

template <class T>
T* allocate(const ASN1_ITEM* item) {
  return reinterpret_cast<T*>(ASN1_item_new(item));
}

}  // namespace

FEDI_ID_PAIR* FEDI_ID_PAIR_new() {
  auto* p = allocate<FEDI_ID_PAIR>(ASN1_ITEM_rptr(FEDI_ID_PAIR));
  return made(
      p,
      p != nullptr && typed(&p->text, V_ASN1_BMPSTRING) && typed(&p->code, V_ASN1_PRINTABLESTRING),
      FEDI_ID_PAIR_free);
}

FEDI_OSID_REQ* FEDI_OSID_REQ_new() {
  auto* r = allocate<FEDI_OSID_REQ>(ASN1_ITEM_rptr(FEDI_OSID_REQ));
  return made(
      r,
      r != nullptr && header(r, "GeT-OsId", FEDI_CT_OSID_REQ) && typed(&r->name, V_ASN1_BMPSTRING),
      FEDI_OSID_REQ_free);
}

FEDI_OSID_RESP* FEDI_OSID_RESP_new() {
  auto* r = allocate<FEDI_OSID_RESP>(ASN1_ITEM_rptr(FEDI_OSID_RESP));
  return made(r, r != nullptr && header(r, "GeT-OsId", FEDI_CT_OSID_RESP), FEDI_OSID_RESP_free);
}

FEDI_CSID_REQ* FEDI_CSID_REQ_new() {
  auto* r = allocate<FEDI_CSID_REQ>(ASN1_ITEM_rptr(FEDI_CSID_REQ));
  return made(r,
              r != nullptr && header(r, "GeT-CsId", FEDI_CT_CSID_REQ) &&
                  typed(&r->first, V_ASN1_BMPSTRING) && typed(&r->second, V_ASN1_BMPSTRING),
              FEDI_CSID_REQ_free);
}

FEDI_CSID_RESP* FEDI_CSID_RESP_new() {
  auto* r = allocate<FEDI_CSID_RESP>(ASN1_ITEM_rptr(FEDI_CSID_RESP));
  if (r != nullptr) {
    FEDI_ID_PAIR_free(r->pair);
    r->pair = FEDI_ID_PAIR_new();
  }
  return made(r, r != nullptr && r->pair != nullptr && header(r, "GeT-CsId", FEDI_CT_CSID_RESP),
              FEDI_CSID_RESP_free);
}

FEDI_CCHN_REQ* FEDI_CCHN_REQ_new() {
  auto* r = allocate<FEDI_CCHN_REQ>(ASN1_ITEM_rptr(FEDI_CCHN_REQ));
  return made(r,
              r != nullptr && header(r, "Get-CcHn", FEDI_CT_CCHN_REQ) &&
                  typed(&r->sid2, V_ASN1_PRINTABLESTRING) &&
                  typed(&r->sid1, V_ASN1_PRINTABLESTRING),
              FEDI_CCHN_REQ_free);
}

FEDI_STATUS* FEDI_STATUS_new() {
  auto* s = allocate<FEDI_STATUS>(ASN1_ITEM_rptr(FEDI_STATUS));
  return made(s, s != nullptr, FEDI_STATUS_free);
}

void FEDI_ID_PAIR_free(FEDI_ID_PAIR* p) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(p), ASN1_ITEM_rptr(FEDI_ID_PAIR));
}
void FEDI_OSID_REQ_free(FEDI_OSID_REQ* r) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(r), ASN1_ITEM_rptr(FEDI_OSID_REQ));
}
void FEDI_OSID_RESP_free(FEDI_OSID_RESP* r) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(r), ASN1_ITEM_rptr(FEDI_OSID_RESP));
}
void FEDI_CSID_REQ_free(FEDI_CSID_REQ* r) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(r), ASN1_ITEM_rptr(FEDI_CSID_REQ));
}
void FEDI_CSID_RESP_free(FEDI_CSID_RESP* r) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(r), ASN1_ITEM_rptr(FEDI_CSID_RESP));
}
void FEDI_CCHN_REQ_free(FEDI_CCHN_REQ* r) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(r), ASN1_ITEM_rptr(FEDI_CCHN_REQ));
}
void FEDI_STATUS_free(FEDI_STATUS* s) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(s), ASN1_ITEM_rptr(FEDI_STATUS));
}
