// SubjectPublicKeyInfo ::= SEQUENCE { algorithm AlgorithmIdentifier, subjectPublicKey BIT STRING }
// FEDI names the signature algorithm here (md5WithRSAEncryption), so the key is decoded on
// demand through that algorithm's key type, never while the record is read.
#include <openssl/err.h>
#include <openssl/objects.h>

#include "FEDIX509/fedi_internal.h"

namespace {

int pubkeyCallback(int operation, ASN1_VALUE** value, const ASN1_ITEM*, void*) {
  auto* spki = reinterpret_cast<FEDI_X509_PUBKEY*>(*value);
  if (operation == ASN1_OP_FREE_PRE || operation == ASN1_OP_D2I_PRE) {
    EVP_PKEY_free(spki->pkey);
    spki->pkey = nullptr;
  }
  return 1;
}

}  // namespace

// clang-format off
ASN1_SEQUENCE_cb(FEDI_X509_PUBKEY, pubkeyCallback) = {
    ASN1_SIMPLE(FEDI_X509_PUBKEY, algor, X509_ALGOR),
    ASN1_SIMPLE(FEDI_X509_PUBKEY, public_key, ASN1_BIT_STRING),
} ASN1_SEQUENCE_END_cb(FEDI_X509_PUBKEY, FEDI_X509_PUBKEY)
// clang-format on

IMPLEMENT_ASN1_ALLOC_FUNCTIONS(FEDI_X509_PUBKEY)
KESTRUNE_FEDI_CODERS(FEDI_X509_PUBKEY)

EVP_PKEY
*FEDI_X509_PUBKEY_get(FEDI_X509_PUBKEY* spki) {
  if (spki == nullptr || spki->public_key == nullptr) return nullptr;
  if (spki->pkey != nullptr) {
    return EVP_PKEY_up_ref(spki->pkey) == 1 ? spki->pkey : nullptr;
  }
  if (spki->algor == nullptr) return nullptr;
  // The digest registered under the algorithm's short name ("RSA-MD5" is MD5); a key algorithm
  // such as rsaEncryption names no digest and yields no key.
  const int algorithm = OBJ_obj2nid(spki->algor->algorithm);
  const char* shortName = OBJ_nid2sn(algorithm);
  if (algorithm == NID_undef || shortName == nullptr) return nullptr;
  if (EVP_get_digestbyname(shortName) == nullptr) return nullptr;
  // The key type that signature algorithm requires (RSA for the RSA signature algorithms).
  int keyType = NID_undef;
  if (OBJ_find_sigid_algs(algorithm, nullptr, &keyType) != 1 || keyType == NID_undef) {
    return nullptr;
  }
  const unsigned char* key = spki->public_key->data;
  EVP_PKEY* pkey = d2i_PublicKey(keyType, nullptr, &key, spki->public_key->length);
  if (pkey == nullptr) {
    ERR_raise(ERR_LIB_X509, ERR_R_ASN1_LIB);
    return nullptr;
  }
  EVP_PKEY_save_parameters(pkey, 0);
  spki->pkey = pkey;
  if (EVP_PKEY_up_ref(pkey) != 1) return nullptr;
  return pkey;
}

int FEDI_X509_PUBKEY_set_rsa(FEDI_X509_PUBKEY* spki, int algorithmNid, EVP_PKEY* key) {
  if (spki == nullptr || key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return 0;
  ASN1_OBJECT* algorithm = OBJ_nid2obj(algorithmNid);
  if (algorithm == nullptr || OBJ_length(algorithm) == 0) return 0;
  unsigned char* der = nullptr;
  const int length = i2d_PublicKey(key, &der);
  if (length <= 0) return 0;
  if (spki->algor == nullptr) spki->algor = X509_ALGOR_new();
  if (spki->public_key == nullptr) spki->public_key = ASN1_BIT_STRING_new();
  const bool filled = spki->algor != nullptr && spki->public_key != nullptr &&
                      X509_ALGOR_set0(spki->algor, algorithm, V_ASN1_NULL, nullptr) == 1 &&
                      ASN1_BIT_STRING_set(spki->public_key, der, length) == 1;
  OPENSSL_free(der);
  if (!filled || EVP_PKEY_up_ref(key) != 1) return 0;
  // Every byte of the key, 0 unused bits (OpenSSL would otherwise trim trailing zero bytes).
  spki->public_key->flags &= ~0x07L;
  spki->public_key->flags |= ASN1_STRING_FLAG_BITS_LEFT;
  EVP_PKEY_free(spki->pkey);
  spki->pkey = key;
  return 1;
}
