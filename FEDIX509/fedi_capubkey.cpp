// The authority's public-key record, as the system carries it built in:
// FEDI_CAPUBKEY ::= SEQUENCE { body FEDI_CAPUBKEY_INFO, algorithm AlgorithmIdentifier,
//                              signature OCTET STRING }
// FEDI_CAPUBKEY_INFO ::= SEQUENCE { typeTag printable string, version INTEGER,
//                                   algorithm AlgorithmIdentifier, name Name,
//                                   time FEDI time, key FEDI_RSAPUBKEY }
// FEDI_RSAPUBKEY ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>

#include <memory>

#include "FEDIX509/fedi_internal.h"
#include "common/ptr.h"

namespace {

int rsaKeyCallback(int operation, ASN1_VALUE** value, const ASN1_ITEM*, void*) {
  auto* key = reinterpret_cast<FEDI_RSAPUBKEY*>(*value);
  if (operation == ASN1_OP_FREE_PRE || operation == ASN1_OP_D2I_PRE) {
    EVP_PKEY_free(key->pkey);
    key->pkey = nullptr;
  }
  return 1;
}

}  // namespace

// clang-format off
ASN1_SEQUENCE_cb(FEDI_RSAPUBKEY, rsaKeyCallback) = {
    ASN1_SIMPLE(FEDI_RSAPUBKEY, modulus, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_RSAPUBKEY, publicExponent, ASN1_INTEGER),
} ASN1_SEQUENCE_END_cb(FEDI_RSAPUBKEY, FEDI_RSAPUBKEY)

ASN1_SEQUENCE(FEDI_CAPUBKEY_INFO) = {
    ASN1_SIMPLE(FEDI_CAPUBKEY_INFO, typeTag, ASN1_PRINTABLE),
    ASN1_SIMPLE(FEDI_CAPUBKEY_INFO, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_CAPUBKEY_INFO, algorithm, X509_ALGOR),
    ASN1_SIMPLE(FEDI_CAPUBKEY_INFO, name, X509_NAME),
    ASN1_SIMPLE(FEDI_CAPUBKEY_INFO, time, FEDI_TIME),
    ASN1_SIMPLE(FEDI_CAPUBKEY_INFO, key, FEDI_RSAPUBKEY),
} ASN1_SEQUENCE_END(FEDI_CAPUBKEY_INFO)

ASN1_SEQUENCE_ref(FEDI_CAPUBKEY, nullptr) = {
    ASN1_SIMPLE(FEDI_CAPUBKEY, body, FEDI_CAPUBKEY_INFO),
    ASN1_SIMPLE(FEDI_CAPUBKEY, algorithm, X509_ALGOR),
    ASN1_SIMPLE(FEDI_CAPUBKEY, signature, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END_ref(FEDI_CAPUBKEY, FEDI_CAPUBKEY)
// clang-format on

IMPLEMENT_ASN1_ALLOC_FUNCTIONS(FEDI_RSAPUBKEY)
KESTRUNE_FEDI_CODERS(FEDI_RSAPUBKEY)
IMPLEMENT_ASN1_ALLOC_FUNCTIONS(FEDI_CAPUBKEY_INFO)
KESTRUNE_FEDI_CODERS(FEDI_CAPUBKEY_INFO)
IMPLEMENT_ASN1_ALLOC_FUNCTIONS(FEDI_CAPUBKEY)
KESTRUNE_FEDI_CODERS(FEDI_CAPUBKEY)

int FEDI_CAPUBKEY_up_ref(FEDI_CAPUBKEY* record) {
  return record != nullptr ? kestrune::fedi::detail::upRef(&record->references, record->lock) : 0;
}

namespace {

// The INTEGER's magnitude, big-endian as stored.
kestrune::Ptr<BIGNUM> magnitude(const ASN1_INTEGER* value) {
  if (value == nullptr || value->length <= 0) return nullptr;
  return kestrune::Ptr<BIGNUM>(BN_bin2bn(value->data, value->length, nullptr));
}

EVP_PKEY* makeRsaKey(const FEDI_RSAPUBKEY& key) {
  const auto modulus = magnitude(key.modulus);
  const auto exponent = magnitude(key.publicExponent);
  if (!modulus || !exponent) return nullptr;
  kestrune::Ptr<OSSL_PARAM_BLD> build(OSSL_PARAM_BLD_new());
  if (!build || OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get()) != 1) {
    return nullptr;
  }
  kestrune::Ptr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(build.get()));
  kestrune::Ptr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* pkey = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &pkey, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  return pkey;
}

}  // namespace

EVP_PKEY* FEDI_CAPUBKEY_get_pkey(FEDI_CAPUBKEY* record) {
  if (record == nullptr || record->body == nullptr || record->body->key == nullptr) {
    return nullptr;
  }
  FEDI_RSAPUBKEY& key = *record->body->key;
  if (key.pkey == nullptr) key.pkey = makeRsaKey(key);
  if (key.pkey == nullptr || EVP_PKEY_up_ref(key.pkey) != 1) return nullptr;
  return key.pkey;
}
