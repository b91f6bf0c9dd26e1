// Helpers shared by the request tests: DER coding of the request records and the independent
// check of their MD5 signatures with OpenSSL.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>

#include "FEDIX509/fedi_req.h"
#include "common/der.h"
#include "common/ptr.h"
#include "tests/control/identity_layouts.h"

namespace kestrune::testing {

template <class T>
Bytes encodeRecord(int (*i2d)(const T*, unsigned char**), const T* record) {
  return toDer(record, i2d);
}

// decodeRecord returns the record, or null when it doesn't decode or bytes follow it.
template <class T>
fedi::RequestPtr<T> decodeRecord(T* (*d2i)(T**, const unsigned char**, long), const Bytes& der) {
  const unsigned char* pos = der.data();
  fedi::RequestPtr<T> record(d2i(nullptr, &pos, static_cast<long>(der.size())));
  if (record && pos != der.data() + der.size()) return nullptr;
  return record;
}

inline bool verifiesMd5(EVP_PKEY* key, const Bytes& message, const ASN1_BIT_STRING* signature) {
  Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  return ctx != nullptr && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_md5(), nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), signature->data, static_cast<std::size_t>(signature->length),
                          message.data(), message.size()) == 1;
}

inline const unsigned char* bytes(const char* text) {
  return reinterpret_cast<const unsigned char*>(text);
}

}  // namespace kestrune::testing
