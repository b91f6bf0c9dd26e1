#include "FEDIX509/fedi_internal.h"

#include <openssl/crypto.h>

namespace kestrune::fedi::detail {

ASN1_VALUE* decodeRecord(ASN1_VALUE** out, const unsigned char** pos, long len,
                         const ASN1_ITEM* item) {
  if (pos == nullptr || *pos == nullptr) return nullptr;
  if (out == nullptr || *out == nullptr) return ASN1_item_d2i(out, pos, len, item);
  const unsigned char* probe = *pos;
  ASN1_VALUE* trial = ASN1_item_d2i(nullptr, &probe, len, item);
  if (trial == nullptr) return nullptr;
  ASN1_item_free(trial, item);
  return ASN1_item_d2i(out, pos, len, item);
}

int encodeRecord(const ASN1_VALUE* record, unsigned char** pos, const ASN1_ITEM* item) {
  if (record == nullptr) return 0;
  return ASN1_item_i2d(record, pos, item);
}

int upRef(int* references, CRYPTO_RWLOCK* lock) {
  int count = 0;
  return CRYPTO_atomic_add(references, 1, &count, lock) == 1 && count > 1 ? 1 : 0;
}

}  // namespace kestrune::fedi::detail
