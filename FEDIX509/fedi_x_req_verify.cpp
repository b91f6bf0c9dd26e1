// The key of a new-certificate request and its verification (signature and MAC).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "FEDIX509/fedi_md5.h"
#include "FEDIX509/fedi_req.h"
#include "common/ptr.h"

namespace {

// rsaPublicKeyDer returns the length of the PKCS#1 RSAPublicKey of the two numbers, written to
// *der (the caller frees it), or 0. It is written by the FEDI key record: OpenSSL's own writer
// (i2d_PublicKey) looks up a provider encoder on every call, which costs more than all the
// rest of building a request.
int rsaPublicKeyDer(const BIGNUM* modulus, const BIGNUM* exponent, unsigned char** der) {
  const kestrune::Ptr<FEDI_RSAPUBKEY> record(FEDI_RSAPUBKEY_new());
  if (modulus == nullptr || exponent == nullptr || record == nullptr ||
      BN_to_ASN1_INTEGER(modulus, record->modulus) == nullptr ||
      BN_to_ASN1_INTEGER(exponent, record->publicExponent) == nullptr) {
    return 0;
  }
  const int length = i2d_FEDI_RSAPUBKEY(record.get(), der);
  return length > 0 ? length : 0;
}

// requestInfo finds the request info, the first element of the DER of a PKCS#10 request, as
// it was encoded (a decoded request keeps the bytes it came with); false when malformed.
bool requestInfo(const unsigned char* der, long len, const unsigned char** info, long* infoLen) {
  const unsigned char* pos = der;
  long length = 0;
  int tag = 0;
  int tagClass = 0;
  if (ASN1_get_object(&pos, &length, &tag, &tagClass, len) != V_ASN1_CONSTRUCTED ||
      tag != V_ASN1_SEQUENCE || tagClass != V_ASN1_UNIVERSAL) {
    return false;
  }
  const unsigned char* start = pos;
  if (ASN1_get_object(&pos, &length, &tag, &tagClass, len - (start - der)) != V_ASN1_CONSTRUCTED ||
      tag != V_ASN1_SEQUENCE || tagClass != V_ASN1_UNIVERSAL) {
    return false;
  }
  *info = start;
  *infoLen = (pos - start) + length;
  return true;
}

// md5WithRsaVerifies checks the md5WithRSAEncryption signature of a request whose DER is der
// against key: its DigestInfo against the one the signature recovers, as RSA_verify compares
// them. It is what X509_REQ_verify does for that algorithm, without the digest and signature
// method searches of a digest-verify context. A signature BIT STRING written byte-wise, as the
// request format writes it, drops trailing zero octets (and counts the zero bits of the last
// one as unused): it is padded back to the key's length. -1 when the request is not of that kind
// (another algorithm or key type) and needs X509_REQ_verify.
int md5WithRsaVerifies(const X509_REQ* request, const unsigned char* der, long derLen,
                       EVP_PKEY* key) {
  const ASN1_BIT_STRING* signature = nullptr;
  const X509_ALGOR* algorithm = nullptr;
  X509_REQ_get0_signature(request, &signature, &algorithm);
  if (signature == nullptr || algorithm == nullptr ||
      OBJ_obj2nid(algorithm->algorithm) != NID_md5WithRSAEncryption ||
      EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    return -1;
  }
  const unsigned char* info = nullptr;
  long infoLen = 0;
  if (!requestInfo(der, derLen, &info, &infoLen)) return 0;
  std::array<unsigned char, EVP_MAX_MD_SIZE + 32> digestInfo{};
  const int digestInfoLen =
      FEDI_digest_info(info, static_cast<std::size_t>(infoLen), digestInfo.data(),
                       digestInfo.size(), kestrune::fedi::md5());
  const std::vector<unsigned char> padded = kestrune::fedi::paddedBits(signature, key);
  kestrune::Ptr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new(key, nullptr));
  if (digestInfoLen < 1 || padded.empty() || context == nullptr ||
      EVP_PKEY_verify_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1) {
    return 0;
  }
  return EVP_PKEY_verify(context.get(), padded.data(), padded.size(), digestInfo.data(),
                         static_cast<std::size_t>(digestInfoLen)) == 1
             ? 1
             : 0;
}

// verifySignature checks the request's PKCS#10 signature with key over der, its encoding.
int verifySignature(FEDIREQ* req, const unsigned char* der, long derLen, EVP_PKEY* key) {
  const int verified = md5WithRsaVerifies(req->request, der, derLen, key);
  return verified >= 0 ? verified : (X509_REQ_verify(req->request, key) == 1 ? 1 : 0);
}

}  // namespace

int kestrune::fedi::setRsaPublicKey(FEDIREQ* req, const BIGNUM* modulus, const BIGNUM* exponent) {
  if (req == nullptr || req->request == nullptr) return 0;
  unsigned char* der = nullptr;
  const int length = rsaPublicKeyDer(modulus, exponent, &der);
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

int FEDIREQ_set_rsa_pubkey(FEDIREQ* req, EVP_PKEY* key) {
  if (req == nullptr || req->request == nullptr || key == nullptr ||
      EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    return 0;
  }
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  const bool read = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
                    EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) == 1;
  const kestrune::Ptr<BIGNUM> modulus(n);
  const kestrune::Ptr<BIGNUM> exponent(e);
  return read ? kestrune::fedi::setRsaPublicKey(req, modulus.get(), exponent.get()) : 0;
}

EVP_PKEY* FEDIREQ_get_pubkey(FEDIREQ* req) {
  if (req == nullptr || req->request == nullptr) return nullptr;
  // The request's key info names md5WithRSAEncryption, which OpenSSL's own reader refuses:
  // read it through the FEDI key record instead.
  unsigned char* raw = nullptr;
  const int len = i2d_X509_PUBKEY(X509_REQ_get_X509_PUBKEY(req->request), &raw);
  kestrune::Ptr<unsigned char> der(raw);
  if (len < 1) return nullptr;
  const unsigned char* pos = der.get();
  kestrune::Ptr<FEDI_X509_PUBKEY> spki(d2i_FEDI_X509_PUBKEY(nullptr, &pos, len));
  return spki != nullptr ? FEDI_X509_PUBKEY_get(spki.get()) : nullptr;
}

std::vector<unsigned char> kestrune::fedi::paddedBits(const ASN1_BIT_STRING* bits,
                                                      const EVP_PKEY* key) {
  if (bits == nullptr || bits->length < 0) return {};
  const int size = key != nullptr ? EVP_PKEY_get_size(key) : 0;
  std::vector<unsigned char> out(bits->data, bits->data + bits->length);
  if (size > 0 && out.size() < static_cast<std::size_t>(size)) {
    out.resize(static_cast<std::size_t>(size), 0);
  }
  return out;
}

int FEDIREQ_verify_signature(FEDIREQ* req) {
  kestrune::Ptr<EVP_PKEY> key(FEDIREQ_get_pubkey(req));
  if (key == nullptr) return 0;
  unsigned char* raw = nullptr;
  const int len = i2d_X509_REQ(req->request, &raw);
  kestrune::Ptr<unsigned char> der(raw);
  return len >= 1 ? verifySignature(req, der.get(), len, key.get()) : 0;
}

int FEDIREQ_verify(FEDIREQ* req, const unsigned char* pass, std::size_t passLen) {
  kestrune::Ptr<EVP_PKEY> key(FEDIREQ_get_pubkey(req));
  if (key == nullptr) return 0;
  // One encoding of the request serves both the signature and the MAC.
  unsigned char* raw = nullptr;
  const int len = i2d_X509_REQ(req->request, &raw);
  kestrune::Ptr<unsigned char> der(raw);
  if (len < 1 || verifySignature(req, der.get(), len, key.get()) != 1) return 0;
  unsigned char mac[4];
  if (kestrune::fedi::requestMac(der.get(), static_cast<std::size_t>(len), pass, passLen, mac) !=
      1) {
    return 0;
  }
  // A MAC whose last octets are zero is written without them: padded back to its 4 octets.
  if (req->mac == nullptr || req->mac->length < 0) return 0;
  unsigned char received[4] = {};
  std::memcpy(received, req->mac->data, std::min<std::size_t>(4, req->mac->length));
  return std::memcmp(received, mac, 4) == 0 ? 1 : 0;
}
