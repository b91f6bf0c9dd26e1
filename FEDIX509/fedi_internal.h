// Pieces shared by the record modules: the items that are not public records and the generic
// coders every record's d2i_ / i2d_ goes through.
#pragma once

#include <openssl/asn1t.h>

#include "FEDIX509/fedi_x509.h"

// FEDI time (UTCTime under the FEDI rule, or GeneralizedTime) as a field of a record.
DECLARE_ASN1_ITEM(FEDI_TIME)
// A UTCTime read with the FEDI check.
DECLARE_ASN1_ITEM(FEDI_UTCTIME)
// The certificate list of a bag, with its cached DER.
DECLARE_ASN1_ITEM(FEDI_CERT_LIST)

namespace kestrune::fedi::detail {

// decodeRecord decodes one record of item at *pos. An object the caller passes in *out is
// filled in place only once the bytes are known to decode, so a failure leaves it as it was
// (the template engine would free the object it fails in).
ASN1_VALUE* decodeRecord(ASN1_VALUE** out, const unsigned char** pos, long len,
                         const ASN1_ITEM* item);
int encodeRecord(const ASN1_VALUE* record, unsigned char** pos, const ASN1_ITEM* item);

// upRef raises an OpenSSL reference counter; 1, or 0 for a null counter owner.
int upRef(int* references, CRYPTO_RWLOCK* lock);

}  // namespace kestrune::fedi::detail

// d2i_T / i2d_T of a record through its item.
#define KESTRUNE_FEDI_CODERS(T)                                                                   \
  T* d2i_##T(T** out, const unsigned char** pos, long len) {                                      \
    return reinterpret_cast<T*>(kestrune::fedi::detail::decodeRecord(                             \
        reinterpret_cast<ASN1_VALUE**>(out), pos, len, ASN1_ITEM_rptr(T)));                       \
  }                                                                                               \
  int i2d_##T(const T* record, unsigned char** pos) {                                             \
    return kestrune::fedi::detail::encodeRecord(reinterpret_cast<const ASN1_VALUE*>(record), pos, \
                                                ASN1_ITEM_rptr(T));                               \
  }
