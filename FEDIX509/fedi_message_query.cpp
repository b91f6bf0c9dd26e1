// The query records. Hand-coded: the optional fields carry implicit tags over a Name and a
// Time, which OpenSSL's templates would write with their universal tags (a built X509_NAME
// always encodes as 30). Each optional field is coded by its universal coder and its tag byte
// exchanged, on a copy when reading.
#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstring>
#include <vector>

#include "FEDIX509/fedi_message.h"
#include "FEDIX509/fedi_x509.h"
#include "common/der.h"
#include "common/ptr.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr unsigned char kConstructed = 0x20;
constexpr unsigned char kContext = 0x80;

struct Reader {
  const unsigned char* p;
  const unsigned char* end;
  long left() const { return end - p; }
};

template <class T>
bool read(Reader& r, T** slot, T* (*d2i)(T**, const unsigned char**, long)) {
  T* value = d2i(nullptr, &r.p, r.left());
  if (value == nullptr) return false;
  *slot = value;
  return true;
}

// readImplicit reads an optional [number] IMPLICIT field whose universal tag is universal,
// when the next byte is that implicit tag (primitive or constructed form).
template <class T>
bool readImplicit(Reader& r, int number, unsigned char universal, T** slot,
                  T* (*d2i)(T**, const unsigned char**, long)) {
  if (r.left() <= 0 || (r.p[0] & ~kConstructed) != (kContext | number)) return true;
  Bytes copy(r.p, r.end);
  copy[0] = static_cast<unsigned char>(universal | (copy[0] & kConstructed));
  const unsigned char* p = copy.data();
  T* value = d2i(nullptr, &p, static_cast<long>(copy.size()));
  if (value == nullptr) return false;
  *slot = value;
  r.p += p - copy.data();
  return true;
}

// enterSequence reads a definite-length SEQUENCE header and narrows r to the SEQUENCE's
// contents; after returns the position past it.
bool enterSequence(Reader& r, Reader& inner) {
  const unsigned char* p = r.p;
  long length = 0;
  int tag = 0;
  int tagClass = 0;
  const int header = ASN1_get_object(&p, &length, &tag, &tagClass, r.left());
  if (header != V_ASN1_CONSTRUCTED || tag != V_ASN1_SEQUENCE || tagClass != V_ASN1_UNIVERSAL) {
    return false;
  }
  inner = Reader{p, p + length};
  r.p = p + length;
  return true;
}

template <class T>
bool write(Bytes& out, const T* field, int (*i2d)(const T*, unsigned char**)) {
  return kestrune::appendDer(field, i2d, out);
}

template <class T>
bool writeImplicit(Bytes& out, const T* field, int (*i2d)(const T*, unsigned char**), int number) {
  if (field == nullptr) return true;
  const std::size_t at = out.size();
  if (!write(out, field, i2d)) return false;
  out[at] = static_cast<unsigned char>(kContext | number | (out[at] & kConstructed));
  return true;
}

int writeTime(const ASN1_TIME* time, unsigned char** pos) {
  if (time->type != V_ASN1_UTCTIME && time->type != V_ASN1_GENERALIZEDTIME) return -1;
  return i2d_ASN1_TIME(time, pos);
}

ASN1_TIME* readDate(ASN1_TIME** out, const unsigned char** pos, long len) {
  return d2i_FEDI_ASN1_UTCTIME(out, pos, len);
}

void wrapSequence(Bytes& body) {
  Bytes header(static_cast<std::size_t>(ASN1_object_size(1, static_cast<int>(body.size()), 0)) -
               body.size());
  unsigned char* p = header.data();
  ASN1_put_object(&p, 1, static_cast<int>(body.size()), V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
  body.insert(body.begin(), header.begin(), header.end());
}

bool writeCommon(Bytes& out, const ASN1_INTEGER* version, const ASN1_INTEGER* type,
                 const X509_NAME* issuer) {
  return write(out, version, i2d_ASN1_INTEGER) && write(out, type, i2d_ASN1_INTEGER) &&
         write(out, issuer, i2d_X509_NAME);
}

bool readCommon(Reader& r, ASN1_INTEGER** version, ASN1_INTEGER** type, X509_NAME** issuer) {
  return read(r, version, d2i_ASN1_INTEGER) && read(r, type, d2i_ASN1_INTEGER) &&
         read(r, issuer, d2i_X509_NAME);
}

void freeBody(FEDI_GETCERT_BODY* b) {
  if (b == nullptr) return;
  ASN1_INTEGER_free(b->version);
  ASN1_INTEGER_free(b->type);
  X509_NAME_free(b->issuer);
  X509_NAME_free(b->subject);
  ASN1_INTEGER_free(b->serialNumber);
  ASN1_TIME_free(b->date);
  OPENSSL_free(b);
}

void freeBody(FEDI_GETCRL_BODY* b) {
  if (b == nullptr) return;
  ASN1_INTEGER_free(b->version);
  ASN1_INTEGER_free(b->type);
  X509_NAME_free(b->issuer);
  OPENSSL_free(b);
}

void freeBody(FEDI_GETCAPK_BODY* b) {
  if (b == nullptr) return;
  ASN1_INTEGER_free(b->version);
  ASN1_INTEGER_free(b->type);
  X509_NAME_free(b->issuer);
  ASN1_INTEGER_free(b->psn);
  ASN1_TIME_free(b->date);
  OPENSSL_free(b);
}

bool writeBody(Bytes& out, const FEDI_GETCERT_BODY* b) {
  return writeCommon(out, b->version, b->type, b->issuer) &&
         writeImplicit(out, static_cast<const X509_NAME*>(b->subject), i2d_X509_NAME, 0) &&
         writeImplicit(out, static_cast<const ASN1_INTEGER*>(b->serialNumber), i2d_ASN1_INTEGER,
                       1) &&
         writeImplicit(out, static_cast<const ASN1_TIME*>(b->date), writeTime, 2);
}

bool writeBody(Bytes& out, const FEDI_GETCRL_BODY* b) {
  return writeCommon(out, b->version, b->type, b->issuer);
}

bool writeBody(Bytes& out, const FEDI_GETCAPK_BODY* b) {
  return writeCommon(out, b->version, b->type, b->issuer) &&
         writeImplicit(out, static_cast<const ASN1_INTEGER*>(b->psn), i2d_ASN1_INTEGER, 0) &&
         writeImplicit(out, static_cast<const ASN1_TIME*>(b->date), writeTime, 1);
}

bool readBody(Reader& r, FEDI_GETCERT_BODY* b) {
  return readCommon(r, &b->version, &b->type, &b->issuer) &&
         readImplicit(r, 0, V_ASN1_SEQUENCE, &b->subject, d2i_X509_NAME) &&
         readImplicit(r, 1, V_ASN1_INTEGER, &b->serialNumber, d2i_ASN1_INTEGER) &&
         readImplicit(r, 2, V_ASN1_UTCTIME, &b->date, readDate);
}

bool readBody(Reader& r, FEDI_GETCRL_BODY* b) {
  return readCommon(r, &b->version, &b->type, &b->issuer);
}

bool readBody(Reader& r, FEDI_GETCAPK_BODY* b) {
  return readCommon(r, &b->version, &b->type, &b->issuer) &&
         readImplicit(r, 0, V_ASN1_INTEGER, &b->psn, d2i_ASN1_INTEGER) &&
         readImplicit(r, 1, V_ASN1_UTCTIME, &b->date, readDate);
}

template <class B>
B* newBody(long type) {
  auto* b = static_cast<B*>(OPENSSL_zalloc(sizeof(B)));
  if (b == nullptr) return nullptr;
  b->version = ASN1_INTEGER_new();
  b->type = ASN1_INTEGER_new();
  b->issuer = X509_NAME_new();
  if (b->version == nullptr || b->type == nullptr || b->issuer == nullptr ||
      ASN1_INTEGER_set(b->type, type) != 1) {
    freeBody(b);
    return nullptr;
  }
  return b;
}

// attachBody gives q a body of bodyType: a new one when filled, else one of null fields for
// the decoder to fill.
bool attachBody(FEDI_QUERY* q, int bodyType, bool filled) {
  q->bodyType = bodyType;
  switch (bodyType) {
    case FEDI_CT_GET_CERT:
      q->getCert = filled
                       ? newBody<FEDI_GETCERT_BODY>(bodyType)
                       : static_cast<FEDI_GETCERT_BODY*>(OPENSSL_zalloc(sizeof(FEDI_GETCERT_BODY)));
      return q->getCert != nullptr;
    case FEDI_CT_GET_CRL:
      q->getCrl = filled ? newBody<FEDI_GETCRL_BODY>(bodyType)
                         : static_cast<FEDI_GETCRL_BODY*>(OPENSSL_zalloc(sizeof(FEDI_GETCRL_BODY)));
      return q->getCrl != nullptr;
    case FEDI_CT_GET_CAPK:
      q->getCaPk = filled
                       ? newBody<FEDI_GETCAPK_BODY>(bodyType)
                       : static_cast<FEDI_GETCAPK_BODY*>(OPENSSL_zalloc(sizeof(FEDI_GETCAPK_BODY)));
      return q->getCaPk != nullptr;
    default:
      return false;
  }
}

}  // namespace

FEDI_QUERY* FEDI_QUERY_new(const char* tag, int bodyType) {
  if (tag == nullptr) return nullptr;
  kestrune::Ptr<FEDI_QUERY> q(static_cast<FEDI_QUERY*>(OPENSSL_zalloc(sizeof(FEDI_QUERY))));
  if (!q) {
    ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  q->typeTag = ASN1_PRINTABLESTRING_new();
  q->version = ASN1_INTEGER_new();
  if (q->typeTag == nullptr || q->version == nullptr ||
      ASN1_STRING_set(q->typeTag, tag, static_cast<int>(std::strlen(tag))) != 1 ||
      !attachBody(q.get(), bodyType, true)) {
    return nullptr;
  }
  return q.release();
}

void FEDI_QUERY_free(FEDI_QUERY* query) {
  if (query == nullptr) return;
  ASN1_STRING_free(query->typeTag);
  ASN1_INTEGER_free(query->version);
  freeBody(query->getCert);
  freeBody(query->getCrl);
  freeBody(query->getCaPk);
  OPENSSL_free(query);
}

// FEDI_QUERY ::= SEQUENCE { typeTag printable string, version INTEGER, body }
int i2d_FEDI_QUERY(const FEDI_QUERY* query, unsigned char** pos) {
  if (query == nullptr) return 0;
  Bytes out;
  Bytes body;
  if (!write(out, static_cast<const ASN1_STRING*>(query->typeTag), i2d_ASN1_PRINTABLE) ||
      !write(out, static_cast<const ASN1_INTEGER*>(query->version), i2d_ASN1_INTEGER)) {
    return -1;
  }
  bool written = false;
  switch (query->bodyType) {
    case FEDI_CT_GET_CERT:
      written = query->getCert != nullptr && writeBody(body, query->getCert);
      break;
    case FEDI_CT_GET_CRL:
      written = query->getCrl != nullptr && writeBody(body, query->getCrl);
      break;
    case FEDI_CT_GET_CAPK:
      written = query->getCaPk != nullptr && writeBody(body, query->getCaPk);
      break;
    default:
      break;
  }
  if (!written) return -1;
  wrapSequence(body);
  out.insert(out.end(), body.begin(), body.end());
  wrapSequence(out);
  const int total = static_cast<int>(out.size());
  if (pos == nullptr) return total;
  if (*pos == nullptr) {
    if ((*pos = static_cast<unsigned char*>(OPENSSL_malloc(out.size()))) == nullptr) return -1;
    std::memcpy(*pos, out.data(), out.size());
    return total;
  }
  std::memcpy(*pos, out.data(), out.size());
  *pos += total;
  return total;
}

FEDI_QUERY* d2i_FEDI_QUERY(FEDI_QUERY** out, const unsigned char** pos, long len, int bodyType) {
  if (pos == nullptr || *pos == nullptr || len <= 0) return nullptr;
  kestrune::Ptr<FEDI_QUERY> q(static_cast<FEDI_QUERY*>(OPENSSL_zalloc(sizeof(FEDI_QUERY))));
  if (!q || !attachBody(q.get(), bodyType, false)) return nullptr;
  Reader r{*pos, *pos + len};
  Reader fields{};
  Reader bodyFields{};
  if (!enterSequence(r, fields) || !read(fields, &q->typeTag, d2i_ASN1_PRINTABLE) ||
      !read(fields, &q->version, d2i_ASN1_INTEGER) || !enterSequence(fields, bodyFields) ||
      fields.left() != 0) {
    return nullptr;
  }
  bool bodyRead = false;
  switch (bodyType) {
    case FEDI_CT_GET_CERT:
      bodyRead = readBody(bodyFields, q->getCert);
      break;
    case FEDI_CT_GET_CRL:
      bodyRead = readBody(bodyFields, q->getCrl);
      break;
    default:
      bodyRead = readBody(bodyFields, q->getCaPk);
      break;
  }
  if (!bodyRead || bodyFields.left() != 0) return nullptr;
  *pos = r.p;
  if (out == nullptr) return q.release();
  FEDI_QUERY_free(*out);
  *out = q.release();
  return *out;
}
