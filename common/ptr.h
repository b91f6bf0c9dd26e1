// Ptr<T>: the one owner of an OpenSSL (or other C library) object in Kestrune. Each type
// names its release function once, in a Free<T> specialisation; an owner frees on every path.
//
//   Ptr<X509> cert(d2i_X509(nullptr, &p, len));
//
// Types of other layers (FEDI records, curl handles) add their own specialisation beside
// their declaration, in the header that declares them.
#pragma once

#include <memory>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/x509.h>

namespace kestrune {

template <class T>
struct Free;

struct Deleter {
  template <class T>
  void operator()(T* p) const noexcept {
    Free<T>::f(p);
  }
};

template <class T>
using Ptr = std::unique_ptr<T, Deleter>;

#define KESTRUNE_FREE(Type, function)                \
  template <>                                        \
  struct Free<Type> {                                \
    static void f(Type* p) noexcept { function(p); } \
  }

KESTRUNE_FREE(BIO, BIO_free_all);
KESTRUNE_FREE(BIGNUM, BN_free);
KESTRUNE_FREE(BN_CTX, BN_CTX_free);
KESTRUNE_FREE(EVP_PKEY, EVP_PKEY_free);
KESTRUNE_FREE(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
KESTRUNE_FREE(EVP_MD_CTX, EVP_MD_CTX_free);
KESTRUNE_FREE(EVP_ENCODE_CTX, EVP_ENCODE_CTX_free);
KESTRUNE_FREE(EVP_MD, EVP_MD_free);
KESTRUNE_FREE(EVP_CIPHER, EVP_CIPHER_free);
KESTRUNE_FREE(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free);
KESTRUNE_FREE(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free);
KESTRUNE_FREE(OSSL_PARAM, OSSL_PARAM_free);
KESTRUNE_FREE(X509, X509_free);
KESTRUNE_FREE(X509_NAME, X509_NAME_free);
KESTRUNE_FREE(X509_REQ, X509_REQ_free);
KESTRUNE_FREE(X509_SIG, X509_SIG_free);
KESTRUNE_FREE(X509_ALGOR, X509_ALGOR_free);
KESTRUNE_FREE(X509_PUBKEY, X509_PUBKEY_free);
KESTRUNE_FREE(ASN1_STRING, ASN1_STRING_free);
KESTRUNE_FREE(ASN1_OBJECT, ASN1_OBJECT_free);
KESTRUNE_FREE(ASN1_TYPE, ASN1_TYPE_free);
KESTRUNE_FREE(X509_CRL, X509_CRL_free);
KESTRUNE_FREE(X509_REVOKED, X509_REVOKED_free);
KESTRUNE_FREE(char, OPENSSL_free);
KESTRUNE_FREE(unsigned char, OPENSSL_free);

}  // namespace kestrune
