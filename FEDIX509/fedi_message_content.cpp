// The content holder and the content type table: which record each type number carries and
// how it is coded. The wrapper's tag number is the type, so this part is hand-coded around
// OpenSSL's header reader and writer; the records themselves go through their ASN.1 items.
#include <openssl/asn1t.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>

#include "FEDIX509/fedi_crl.h"
#include "FEDIX509/fedi_message.h"
#include "FEDIX509/fedi_req.h"
#include "FEDIX509/fedi_x509.h"

namespace {

// The coder of a content type: an ASN.1 item, or for the queries the query coder with the
// body of that type.
struct Coder {
  const ASN1_ITEM* item;
  int queryBody;
  bool known() const { return item != nullptr || queryBody != 0; }
};

// coderOf returns the coder of the record a content type carries (unknown when none).
Coder coderOf(int type) {
  switch (type) {
    case FEDI_CT_NEW_CERT_REQ:
      return {ASN1_ITEM_rptr(FEDIREQ), 0};
    case FEDI_CT_EXT_REQ:
      return {ASN1_ITEM_rptr(FEDIEXT), 0};
    case FEDI_CT_REV_REQ:
      return {ASN1_ITEM_rptr(FEDIREV), 0};
    case FEDI_CT_NEW_CERT:
    case FEDI_CT_EXT_CERT:
    case FEDI_CT_GET_CERT_ANS:
    case FEDI_CT_GET_CAPK_ANS:
      return {ASN1_ITEM_rptr(FEDICERT), 0};
    case FEDI_CT_REV_CRL:
    case FEDI_CT_GET_CRL_ANS:
      return {ASN1_ITEM_rptr(FEDICRL), 0};
    case FEDI_CT_GET_CERT:
    case FEDI_CT_GET_CRL:
    case FEDI_CT_GET_CAPK:
      return {nullptr, type};
    case FEDI_CT_OSID_REQ:
      return {ASN1_ITEM_rptr(FEDI_OSID_REQ), 0};
    case FEDI_CT_OSID_RESP:
      return {ASN1_ITEM_rptr(FEDI_OSID_RESP), 0};
    case FEDI_CT_CSID_REQ:
      return {ASN1_ITEM_rptr(FEDI_CSID_REQ), 0};
    case FEDI_CT_CSID_RESP:
    case FEDI_CT_CCHN_RESP:
      return {ASN1_ITEM_rptr(FEDI_CSID_RESP), 0};
    case FEDI_CT_CCHN_REQ:
      return {ASN1_ITEM_rptr(FEDI_CCHN_REQ), 0};
    case FEDI_CT_STATUS:
      return {ASN1_ITEM_rptr(FEDI_STATUS), 0};
    default:
      return {nullptr, 0};
  }
}

int encodeRecord(const Coder& coder, const void* record, unsigned char** pos) {
  if (coder.item != nullptr) {
    return ASN1_item_i2d(static_cast<const ASN1_VALUE*>(record), pos, coder.item);
  }
  return i2d_FEDI_QUERY(static_cast<const FEDI_QUERY*>(record), pos);
}

void* decodeRecord(const Coder& coder, const unsigned char** pos, long len) {
  if (coder.item != nullptr) return ASN1_item_d2i(nullptr, pos, len, coder.item);
  return d2i_FEDI_QUERY(nullptr, pos, len, coder.queryBody);
}

void releaseRecord(const Coder& coder, void* record) {
  if (coder.item != nullptr) {
    ASN1_item_free(static_cast<ASN1_VALUE*>(record), coder.item);
  } else {
    FEDI_QUERY_free(static_cast<FEDI_QUERY*>(record));
  }
}

// release frees the record the holder owns; false when its type has no release operation.
bool release(FEDI_CONTENT* content) {
  if (content->owned != 0 && content->record != nullptr) {
    const Coder coder = coderOf(content->type);
    if (!coder.known()) return false;
    releaseRecord(coder, content->record);
  }
  content->record = nullptr;
  content->owned = 0;
  return true;
}

void clear(FEDI_CONTENT* content) {
  OPENSSL_free(content->der);
  content->der = nullptr;
  content->der_length = 0;
  content->type = FEDI_CONTENT_NONE;
  content->record = nullptr;
  content->owned = 0;
}

}  // namespace

FEDI_CONTENT* FEDI_CONTENT_new() {
  auto* content = static_cast<FEDI_CONTENT*>(OPENSSL_zalloc(sizeof(FEDI_CONTENT)));
  if (content == nullptr) {
    ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  content->type = FEDI_CONTENT_NONE;
  return content;
}

void FEDI_CONTENT_free(FEDI_CONTENT* content) {
  if (content == nullptr) return;
  release(content);
  OPENSSL_free(content->der);
  OPENSSL_free(content);
}

int FEDI_CONTENT_set(FEDI_CONTENT* content, int type, void* record) {
  if (content == nullptr) return FEDI_MSG_NO_MEMORY;
  OPENSSL_free(content->der);
  content->der = nullptr;
  content->der_length = 0;
  if (!release(content)) return FEDI_MSG_NO_CODER;
  const Coder coder = coderOf(type);
  if (!coder.known()) {
    clear(content);
    return FEDI_MSG_NO_CODER;
  }
  content->type = type;
  content->record = record;
  content->owned = 0;
  const int length = record != nullptr ? encodeRecord(coder, record, nullptr) : 0;
  if (length < 1) {
    clear(content);
    return FEDI_MSG_EMPTY_RECORD;
  }
  auto* der = static_cast<unsigned char*>(OPENSSL_malloc(static_cast<std::size_t>(length)));
  if (der == nullptr) {
    clear(content);
    return FEDI_MSG_NO_MEMORY;
  }
  unsigned char* pos = der;
  if (encodeRecord(coder, record, &pos) != length) {
    OPENSSL_free(der);
    clear(content);
    return FEDI_MSG_EMPTY_RECORD;
  }
  content->der = der;
  content->der_length = length;
  return FEDI_MSG_OK;
}

int i2d_FEDI_CONTENT(const FEDI_CONTENT* content, unsigned char** pos) {
  if (content == nullptr || content->record == nullptr) return 0;
  const Coder coder = coderOf(content->type);
  if (!coder.known()) return -1;
  // A record set for sending goes out as the DER made when it was set, which is also what the
  // message's digest covers; the record is not encoded again for every length and write.
  const bool cached = content->der != nullptr;
  const int recordLength =
      cached ? content->der_length : encodeRecord(coder, content->record, nullptr);
  if (recordLength < 1) return -1;
  const int total = ASN1_object_size(1, recordLength, content->type);
  if (total < 0 || pos == nullptr) return total;
  unsigned char* buffer = *pos;
  const bool allocate = buffer == nullptr;
  if (allocate && (buffer = static_cast<unsigned char*>(OPENSSL_malloc(total))) == nullptr) {
    return -1;
  }
  unsigned char* p = buffer;
  ASN1_put_object(&p, 1, recordLength, content->type, V_ASN1_CONTEXT_SPECIFIC);
  if (cached) {
    p = std::copy_n(content->der, recordLength, p);
  } else if (encodeRecord(coder, content->record, &p) != recordLength) {
    p = nullptr;
  }
  if (p != buffer + total) {
    if (allocate) OPENSSL_free(buffer);
    return -1;
  }
  *pos = allocate ? buffer : p;
  return total;
}

// [type] EXPLICIT record, definite or indefinite length.
FEDI_CONTENT* d2i_FEDI_CONTENT(FEDI_CONTENT** out, const unsigned char** pos, long len) {
  if (pos == nullptr || *pos == nullptr || len < 0) return nullptr;
  kestrune::fedi::ContentPtr holder(FEDI_CONTENT_new());
  if (!holder) return nullptr;
  const unsigned char* p = *pos;
  if (len > 0 && (p[0] & 0xE0) == 0xA0) {
    long length = 0;
    int tag = 0;
    int tagClass = 0;
    const int header = ASN1_get_object(&p, &length, &tag, &tagClass, len);
    if ((header & 0x80) != 0) return nullptr;
    const bool indefinite = header == 0x21;
    const long left = len - (p - *pos);
    const Coder coder = coderOf(tag);
    if (!coder.known()) {
      ERR_raise(ERR_LIB_ASN1, ASN1_R_UNKNOWN_TAG);
      return nullptr;
    }
    const unsigned char* start = p;
    void* record = decodeRecord(coder, &p, indefinite ? left : length);
    if (record == nullptr) return nullptr;
    holder->type = tag;
    holder->record = record;
    holder->owned = 1;
    if (indefinite) {
      if (len - (p - *pos) < 2 || p[0] != 0 || p[1] != 0) return nullptr;
      p += 2;
    } else if (p != start + length) {
      return nullptr;  // bytes left inside the wrapper
    }
  }
  *pos = p;
  if (out == nullptr) return holder.release();
  if (*out != nullptr) FEDI_CONTENT_free(*out);
  *out = holder.release();
  return *out;
}
