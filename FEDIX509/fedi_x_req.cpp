// The request records: FEDIREQ, FEDIEXT and FEDIREV with their signed parts and bodies.
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/provider.h>

#include <cstring>
#include <vector>

#include "FEDIX509/fedi_internal.h"
#include "FEDIX509/fedi_req.h"

namespace {

// The revocation body's optional [0] IMPLICIT INTEGER and [1] IMPLICIT Name are read by their tag
// byte with the constructed bit masked off (0x80 or 0xA0 for the serial, 0x81 or 0xA1 for the
// subject), as the request format reads them: the field is decoded from a copy whose tag byte is
// the universal one. Written, the serial is primitive and the subject constructed.
//
// They go through these items rather than OpenSSL's implicit tagging: its Name item cannot be
// tagged implicitly (the SEQUENCE OF template refuses the options), and when its template engine
// finds an optional field absent it keeps the header it read for the next field, which an item
// that reads the field itself would leave stale.
template <class T>
struct TaggedCoder {
  T* (*d2i)(T**, const unsigned char**, long);
  int (*i2d)(const T*, unsigned char**);
  void (*free)(T*);
  unsigned char universal;  // the tag byte the field's own coder reads
  bool constructed;         // written with the constructed bit
};

template <class T>
int taggedD2i(const TaggedCoder<T>& coder, ASN1_VALUE** value, const unsigned char** in, long len,
              int tag, int aclass, char opt) {
  if (tag > 30) return 0;  // only tags of one octet
  const unsigned char wanted =
      tag == -1 ? coder.universal : static_cast<unsigned char>((aclass & V_ASN1_PRIVATE) | tag);
  if (len < 1 || ((*in)[0] & ~V_ASN1_CONSTRUCTED) != (wanted & ~V_ASN1_CONSTRUCTED)) {
    return opt ? -1 : 0;
  }
  const unsigned char* pos = *in;
  long contentLen = 0;
  int foundTag = 0;
  int foundClass = 0;
  const int flags = ASN1_get_object(&pos, &contentLen, &foundTag, &foundClass, len);
  // Only a definite length within the bytes given.
  if ((flags & 0x80) != 0 || (flags & 0x01) != 0) return 0;
  const long total = (pos - *in) + contentLen;
  std::vector<unsigned char> copy(*in, *in + total);
  copy[0] = coder.universal;
  const unsigned char* read = copy.data();
  T* decoded = coder.d2i(nullptr, &read, total);
  if (decoded == nullptr || read != copy.data() + total) {
    coder.free(decoded);
    return 0;
  }
  coder.free(reinterpret_cast<T*>(*value));
  *value = reinterpret_cast<ASN1_VALUE*>(decoded);
  *in += total;
  return 1;
}

template <class T>
int taggedI2d(const TaggedCoder<T>& coder, const ASN1_VALUE** value, unsigned char** out, int tag,
              int aclass) {
  const auto* field = reinterpret_cast<const T*>(*value);
  if (out == nullptr) return coder.i2d(field, nullptr);
  unsigned char* start = *out;
  const int written = coder.i2d(field, out);
  if (written <= 0) return -1;
  if (start == nullptr) start = *out;  // i2d allocated the buffer and left *out at its start
  if (tag != -1) {
    start[0] = static_cast<unsigned char>((aclass & V_ASN1_PRIVATE) |
                                          (coder.constructed ? V_ASN1_CONSTRUCTED : 0) | tag);
  }
  return written;
}

const TaggedCoder<X509_NAME> kNameCoder = {&d2i_X509_NAME, &i2d_X509_NAME, &X509_NAME_free,
                                           V_ASN1_SEQUENCE | V_ASN1_CONSTRUCTED, true};
const TaggedCoder<ASN1_INTEGER> kIntegerCoder = {&d2i_ASN1_INTEGER, &i2d_ASN1_INTEGER,
                                                 &ASN1_INTEGER_free, V_ASN1_INTEGER, false};

int implicitNameNew(ASN1_VALUE** value, const ASN1_ITEM*) {
  *value = reinterpret_cast<ASN1_VALUE*>(X509_NAME_new());
  return *value != nullptr ? 1 : 0;
}

void implicitNameFree(ASN1_VALUE** value, const ASN1_ITEM*) {
  X509_NAME_free(reinterpret_cast<X509_NAME*>(*value));
  *value = nullptr;
}

int implicitNameD2i(ASN1_VALUE** value, const unsigned char** in, long len, const ASN1_ITEM*,
                    int tag, int aclass, char opt, ASN1_TLC*) {
  return taggedD2i(kNameCoder, value, in, len, tag, aclass, opt);
}

int implicitNameI2d(const ASN1_VALUE** value, unsigned char** out, const ASN1_ITEM*, int tag,
                    int aclass) {
  return taggedI2d(kNameCoder, value, out, tag, aclass);
}

int implicitIntegerNew(ASN1_VALUE** value, const ASN1_ITEM*) {
  *value = reinterpret_cast<ASN1_VALUE*>(ASN1_INTEGER_new());
  return *value != nullptr ? 1 : 0;
}

void implicitIntegerFree(ASN1_VALUE** value, const ASN1_ITEM*) {
  ASN1_INTEGER_free(reinterpret_cast<ASN1_INTEGER*>(*value));
  *value = nullptr;
}

int implicitIntegerD2i(ASN1_VALUE** value, const unsigned char** in, long len, const ASN1_ITEM*,
                       int tag, int aclass, char opt, ASN1_TLC*) {
  return taggedD2i(kIntegerCoder, value, in, len, tag, aclass, opt);
}

int implicitIntegerI2d(const ASN1_VALUE** value, unsigned char** out, const ASN1_ITEM*, int tag,
                       int aclass) {
  return taggedI2d(kIntegerCoder, value, out, tag, aclass);
}

const ASN1_EXTERN_FUNCS kImplicitNameFuncs = {
    nullptr,         implicitNameNew, implicitNameFree, nullptr, implicitNameD2i,
    implicitNameI2d, nullptr,         nullptr,          nullptr,
};

const ASN1_EXTERN_FUNCS kImplicitIntegerFuncs = {
    nullptr,
    implicitIntegerNew,
    implicitIntegerFree,
    nullptr,
    implicitIntegerD2i,
    implicitIntegerI2d,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

IMPLEMENT_EXTERN_ASN1(FEDI_IMPLICIT_INTEGER, V_ASN1_INTEGER, kImplicitIntegerFuncs)
IMPLEMENT_EXTERN_ASN1(FEDI_IMPLICIT_NAME, V_ASN1_SEQUENCE, kImplicitNameFuncs)

// FEDIREQ ::= SEQUENCE { typeTag printable string, version INTEGER,
//                        request CertificationRequest, macAlgorithm AlgorithmIdentifier,
//                        mac BIT STRING }
// clang-format off
ASN1_SEQUENCE_ref(FEDIREQ, nullptr) = {
    ASN1_SIMPLE(FEDIREQ, typeTag, ASN1_PRINTABLE),
    ASN1_SIMPLE(FEDIREQ, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDIREQ, request, X509_REQ),
    ASN1_SIMPLE(FEDIREQ, macAlgorithm, X509_ALGOR),
    ASN1_SIMPLE(FEDIREQ, mac, ASN1_BIT_STRING),
} ASN1_SEQUENCE_END_ref(FEDIREQ, FEDIREQ)

// FEDIEXT_INFO ::= SEQUENCE { version INTEGER, type INTEGER, signature AlgorithmIdentifier,
//                             issuer Name, serialNumber INTEGER }
ASN1_SEQUENCE(FEDIEXT_INFO) = {
    ASN1_SIMPLE(FEDIEXT_INFO, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDIEXT_INFO, type, ASN1_INTEGER),
    ASN1_SIMPLE(FEDIEXT_INFO, signature, X509_ALGOR),
    ASN1_SIMPLE(FEDIEXT_INFO, issuer, X509_NAME),
    ASN1_SIMPLE(FEDIEXT_INFO, serialNumber, ASN1_INTEGER),
} ASN1_SEQUENCE_END(FEDIEXT_INFO)

ASN1_SEQUENCE(FEDIEXT_SIGNED) = {
    ASN1_SIMPLE(FEDIEXT_SIGNED, body, FEDIEXT_INFO),
    ASN1_SIMPLE(FEDIEXT_SIGNED, signatureAlgorithm, X509_ALGOR),
    ASN1_SIMPLE(FEDIEXT_SIGNED, signature, ASN1_BIT_STRING),
} ASN1_SEQUENCE_END(FEDIEXT_SIGNED)

// The extension and revocation tags are read only as PrintableString.
ASN1_SEQUENCE(FEDIEXT) = {
    ASN1_SIMPLE(FEDIEXT, typeTag, ASN1_PRINTABLESTRING),
    ASN1_SIMPLE(FEDIEXT, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDIEXT, signedPart, FEDIEXT_SIGNED),
} ASN1_SEQUENCE_END(FEDIEXT)

// FEDIREV_INFO ::= SEQUENCE { version INTEGER, type INTEGER, signature AlgorithmIdentifier,
//                             issuer Name, serialNumber [0] IMPLICIT INTEGER OPTIONAL,
//                             subject [1] IMPLICIT Name OPTIONAL, reason OCTET STRING,
//                             serialNumber2 INTEGER }
ASN1_SEQUENCE(FEDIREV_INFO) = {
    ASN1_SIMPLE(FEDIREV_INFO, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDIREV_INFO, type, ASN1_INTEGER),
    ASN1_SIMPLE(FEDIREV_INFO, signature, X509_ALGOR),
    ASN1_SIMPLE(FEDIREV_INFO, issuer, X509_NAME),
    ASN1_IMP_OPT(FEDIREV_INFO, serialNumber, FEDI_IMPLICIT_INTEGER, 0),
    ASN1_IMP_OPT(FEDIREV_INFO, subject, FEDI_IMPLICIT_NAME, 1),
    ASN1_SIMPLE(FEDIREV_INFO, reason, ASN1_OCTET_STRING),
    ASN1_SIMPLE(FEDIREV_INFO, serialNumber2, ASN1_INTEGER),
} ASN1_SEQUENCE_END(FEDIREV_INFO)

ASN1_SEQUENCE(FEDIREV_SIGNED) = {
    ASN1_SIMPLE(FEDIREV_SIGNED, body, FEDIREV_INFO),
    ASN1_SIMPLE(FEDIREV_SIGNED, signatureAlgorithm, X509_ALGOR),
    ASN1_SIMPLE(FEDIREV_SIGNED, signature, ASN1_BIT_STRING),
} ASN1_SEQUENCE_END(FEDIREV_SIGNED)

ASN1_SEQUENCE(FEDIREV) = {
    ASN1_SIMPLE(FEDIREV, typeTag, ASN1_PRINTABLESTRING),
    ASN1_SIMPLE(FEDIREV, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDIREV, signedPart, FEDIREV_SIGNED),
} ASN1_SEQUENCE_END(FEDIREV)
// clang-format on

KESTRUNE_FEDI_CODERS(FEDIREQ)
KESTRUNE_FEDI_CODERS(FEDIEXT)
KESTRUNE_FEDI_CODERS(FEDIEXT_SIGNED)
KESTRUNE_FEDI_CODERS(FEDIEXT_INFO)
KESTRUNE_FEDI_CODERS(FEDIREV)
KESTRUNE_FEDI_CODERS(FEDIREV_SIGNED)
KESTRUNE_FEDI_CODERS(FEDIREV_INFO)

IMPLEMENT_ASN1_ALLOC_FUNCTIONS(FEDIEXT_SIGNED)
IMPLEMENT_ASN1_ALLOC_FUNCTIONS(FEDIEXT_INFO)
IMPLEMENT_ASN1_ALLOC_FUNCTIONS(FEDIREV_SIGNED)
IMPLEMENT_ASN1_ALLOC_FUNCTIONS(FEDIREV_INFO)

namespace {
// A PKCS#10 request made by X509_REQ_new carries an empty attributes set ([0] with no
// content); one decoded without the field has none and encodes without it. New requests start
// from this skeleton: version 0, empty subject, placeholder key and algorithm (OID 0.0).
constexpr unsigned char kRequestSkeleton[] = {
    0x30, 0x19,                                                  // CertificationRequest
    0x30, 0x0F,                                                  //   info
    0x02, 0x01, 0x00,                                            //     version 0
    0x30, 0x00,                                                  //     subject
    0x30, 0x08, 0x30, 0x03, 0x06, 0x01, 0x00, 0x03, 0x01, 0x00,  //     key
    0x30, 0x03, 0x06, 0x01, 0x00,                                //   signatureAlgorithm
    0x03, 0x01, 0x00,                                            //   signature
};

// Decoding a subject public key info makes OpenSSL try every key decoder of the library
// context, and the placeholder key of the skeleton is never used: that search alone cost more
// than the rest of building a request once the heap is busy. The skeleton is decoded in a
// context of its own that holds only the null provider, where the search ends at once.
class SkeletonContext {
 public:
  SkeletonContext()
      : context_(OSSL_LIB_CTX_new()),
        provider_(context_ != nullptr ? OSSL_PROVIDER_load(context_, "null") : nullptr) {}
  ~SkeletonContext() {
    if (provider_ != nullptr) OSSL_PROVIDER_unload(provider_);
    OSSL_LIB_CTX_free(context_);
  }
  SkeletonContext(const SkeletonContext&) = delete;
  SkeletonContext& operator=(const SkeletonContext&) = delete;

  // get returns the context, or null (OpenSSL's default) when it could not be made.
  OSSL_LIB_CTX* get() const { return provider_ != nullptr ? context_ : nullptr; }

 private:
  OSSL_LIB_CTX* context_;
  OSSL_PROVIDER* provider_;
};

X509_REQ* decodeSkeleton() {
  static const SkeletonContext context;
  const unsigned char* pos = kRequestSkeleton;
  return reinterpret_cast<X509_REQ*>(ASN1_item_d2i_ex(
      nullptr, &pos, sizeof kRequestSkeleton, ASN1_ITEM_rptr(X509_REQ), context.get(), nullptr));
}

int setInteger(ASN1_INTEGER** slot, long value) {
  if (*slot == nullptr && (*slot = ASN1_INTEGER_new()) == nullptr) return 0;
  return ASN1_INTEGER_set(*slot, value);
}

int setTag(ASN1_STRING** slot, const char* text) {
  ASN1_STRING* tag = ASN1_STRING_type_new(V_ASN1_PRINTABLESTRING);
  if (tag == nullptr || ASN1_STRING_set(tag, text, static_cast<int>(std::strlen(text))) != 1) {
    ASN1_STRING_free(tag);
    return 0;
  }
  ASN1_STRING_free(*slot);
  *slot = tag;
  return 1;
}

template <class T>
T* newRecord(const ASN1_ITEM* item) {
  auto* record = reinterpret_cast<T*>(ASN1_item_new(item));
  if (record == nullptr) ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
  return record;
}

int setMd5WithRsa(X509_ALGOR* algorithm) {
  return X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_md5WithRSAEncryption), V_ASN1_NULL, nullptr);
}

// Fills the tag, version and body fields common to the extension and revocation requests; the
// algorithms start as the one they are signed with, so that an unsigned record encodes too.
template <class T>
int initSignedRequest(T* record, const char* tag, long type) {
  return setTag(&record->typeTag, tag) == 1 && setInteger(&record->version, 0) == 1 &&
         setInteger(&record->signedPart->body->version, 0) == 1 &&
         setInteger(&record->signedPart->body->type, type) == 1 &&
         setMd5WithRsa(record->signedPart->body->signature) == 1 &&
         setMd5WithRsa(record->signedPart->signatureAlgorithm) == 1;
}

}  // namespace

FEDIREQ* FEDIREQ_new() {
  auto* req = newRecord<FEDIREQ>(ASN1_ITEM_rptr(FEDIREQ));
  if (req == nullptr) return nullptr;
  X509_REQ* request = decodeSkeleton();
  if (request == nullptr || setTag(&req->typeTag, "CeRt_ReQ") != 1 ||
      setInteger(&req->version, 0) != 1 || kestrune::fedi::setMacAlgorithm(req) != 1) {
    X509_REQ_free(request);
    FEDIREQ_free(req);
    ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  X509_REQ_free(req->request);
  req->request = request;
  return req;
}

void FEDIREQ_free(FEDIREQ* req) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(req), ASN1_ITEM_rptr(FEDIREQ));
}

int FEDIREQ_up_ref(FEDIREQ* req) {
  return req != nullptr ? kestrune::fedi::detail::upRef(&req->references, req->lock) : 0;
}

FEDIEXT* FEDIEXT_new() {
  auto* ext = newRecord<FEDIEXT>(ASN1_ITEM_rptr(FEDIEXT));
  if (ext != nullptr && initSignedRequest(ext, "CeRt_eXt", 2) != 1) {
    FEDIEXT_free(ext);
    ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  return ext;
}

void FEDIEXT_free(FEDIEXT* ext) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(ext), ASN1_ITEM_rptr(FEDIEXT));
}

FEDIREV* FEDIREV_new() {
  auto* rev = newRecord<FEDIREV>(ASN1_ITEM_rptr(FEDIREV));
  if (rev != nullptr && initSignedRequest(rev, "CeRt_rEv", 4) != 1) {
    FEDIREV_free(rev);
    ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  return rev;
}

void FEDIREV_free(FEDIREV* rev) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(rev), ASN1_ITEM_rptr(FEDIREV));
}

int kestrune::fedi::setMacAlgorithm(FEDIREQ* req) {
  ASN1_OBJECT* zero = OBJ_txt2obj("0.0", 1);
  if (req == nullptr || zero == nullptr) {
    ASN1_OBJECT_free(zero);
    return 0;
  }
  if (req->macAlgorithm == nullptr && (req->macAlgorithm = X509_ALGOR_new()) == nullptr) {
    ASN1_OBJECT_free(zero);
    return 0;
  }
  if (X509_ALGOR_set0(req->macAlgorithm, zero, V_ASN1_NULL, nullptr) != 1) {
    ASN1_OBJECT_free(zero);
    return 0;
  }
  return 1;
}

int kestrune::fedi::setFullBitString(ASN1_BIT_STRING* bits, const unsigned char* data, int len) {
  if (bits == nullptr || len < 0 ||
      ASN1_BIT_STRING_set(bits, const_cast<unsigned char*>(data), len) != 1)
    return 0;
  bits->flags &= ~0x07L;
  bits->flags |= ASN1_STRING_FLAG_BITS_LEFT;
  return 1;
}
