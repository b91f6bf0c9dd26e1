// The key of a new-certificate request and its verification (signature and MAC).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <cstring>
#include <memory>

#include "FEDIX509/fedi_req.h"

namespace {

struct Free {
  void operator()(FEDI_X509_PUBKEY* p) const noexcept { FEDI_X509_PUBKEY_free(p); }
  void operator()(FEDI_RSAPUBKEY* p) const noexcept { FEDI_RSAPUBKEY_free(p); }
  void operator()(BIGNUM* p) const noexcept { BN_free(p); }
  void operator()(unsigned char* p) const noexcept { OPENSSL_free(p); }
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};

// rsaPublicKeyDer returns the length of the PKCS#1 RSAPublicKey of key, written to *der (the
// caller frees it), or 0. It is written from the key's two numbers: OpenSSL's own writer
// (i2d_PublicKey) looks up a provider encoder on every call, which costs more than all the
// rest of building a request.
int rsaPublicKeyDer(const EVP_PKEY* key, unsigned char** der) {
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return 0;
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  const bool read = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
                    EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) == 1;
  const std::unique_ptr<BIGNUM, Free> modulus(n);
  const std::unique_ptr<BIGNUM, Free> exponent(e);
  const std::unique_ptr<FEDI_RSAPUBKEY, Free> record(FEDI_RSAPUBKEY_new());
  if (!read || record == nullptr || BN_to_ASN1_INTEGER(modulus.get(), record->modulus) == nullptr ||
      BN_to_ASN1_INTEGER(exponent.get(), record->publicExponent) == nullptr) {
    return 0;
  }
  const int length = i2d_FEDI_RSAPUBKEY(record.get(), der);
  return length > 0 ? length : 0;
}

}  // namespace

int FEDIREQ_set_rsa_pubkey(FEDIREQ* req, EVP_PKEY* key) {
  if (req == nullptr || req->request == nullptr || key == nullptr) return 0;
  unsigned char* der = nullptr;
  const int length = rsaPublicKeyDer(key, &der);
  if (length == 0) return 0;
  // set0_param writes the key with 0 unused bits and takes over der.
  if (X509_PUBKEY_set0_param(X509_REQ_get_X509_PUBKEY(req->request),
                             OBJ_nid2obj(NID_md5WithRSAEncryption), V_ASN1_NULL, nullptr, der,
                             length) != 1) {
    OPENSSL_free(der);
    return 0;
  }
  // The body keeps the DER it was decoded from; mark it changed so that it is written anew.
  return i2d_re_X509_REQ_tbs(req->request, nullptr) > 0 ? 1 : 0;
}

EVP_PKEY* FEDIREQ_get_pubkey(FEDIREQ* req) {
  if (req == nullptr || req->request == nullptr) return nullptr;
  // The request's key info names md5WithRSAEncryption, which OpenSSL's own reader refuses:
  // read it through the FEDI key record instead.
  unsigned char* raw = nullptr;
  const int len = i2d_X509_PUBKEY(X509_REQ_get_X509_PUBKEY(req->request), &raw);
  std::unique_ptr<unsigned char, Free> der(raw);
  if (len < 1) return nullptr;
  const unsigned char* pos = der.get();
  std::unique_ptr<FEDI_X509_PUBKEY, Free> spki(d2i_FEDI_X509_PUBKEY(nullptr, &pos, len));
  return spki != nullptr ? FEDI_X509_PUBKEY_get(spki.get()) : nullptr;
}

int FEDIREQ_verify(FEDIREQ* req, const unsigned char* pass, std::size_t passLen) {
  std::unique_ptr<EVP_PKEY, Free> key(FEDIREQ_get_pubkey(req));
  if (key == nullptr) return 0;
  if (X509_REQ_verify(req->request, key.get()) != 1) return 0;
  unsigned char mac[4];
  if (FEDI_req_mac(req->request, pass, passLen, mac) != 1) return 0;
  return req->mac != nullptr && req->mac->length >= 4 && std::memcmp(req->mac->data, mac, 4) == 0
             ? 1
             : 0;
}
