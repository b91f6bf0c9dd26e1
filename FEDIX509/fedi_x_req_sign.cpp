// Token signing of the requests with md5WithRSAEncryption: the DigestInfo of the DER of the
// to-be-signed part goes to the token, which applies the PKCS#1 v1.5 block itself.
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <array>
#include <cstring>
#include <memory>

#include "FEDIX509/fedi_md5.h"
#include "FEDIX509/fedi_req.h"
#include "common/ptr.h"
#include "token/token.h"

namespace {

using kestrune::token::TokenKeyInfo;

using Der = kestrune::Ptr<unsigned char>;

int setMd5WithRsa(X509_ALGOR* algorithm) {
  ASN1_OBJECT* oid = OBJ_nid2obj(NID_md5WithRSAEncryption);
  if (algorithm == nullptr || oid == nullptr || OBJ_length(oid) == 0) return 0;
  return X509_ALGOR_set0(algorithm, oid, V_ASN1_NULL, nullptr);
}

// signDer signs tbs (length tbsLen) on the token and stores the signature in signature.
int signDer(const unsigned char* tbs, int tbsLen, const TokenKeyInfo* keyInfo,
            ASN1_BIT_STRING* signature) {
  if (tbs == nullptr || tbsLen < 1 || keyInfo == nullptr) return 0;
  std::array<unsigned char, EVP_MAX_MD_SIZE + 32> digestInfo{};
  const int infoLen = FEDI_digest_info(tbs, static_cast<std::size_t>(tbsLen), digestInfo.data(),
                                       digestInfo.size(), kestrune::fedi::md5());
  if (infoLen < 1) return 0;
  kestrune::token::Bytes value;
  const std::int32_t length = kestrune::token::token_RsaSign(static_cast<std::size_t>(infoLen),
                                                             digestInfo.data(), value, keyInfo, 0);
  if (length < 1 || static_cast<std::size_t>(length) > value.size()) return 0;
  return kestrune::fedi::setFullBitString(signature, value.data(), length);
}

template <class Signed, class Body>
int signBody(Signed* part, const TokenKeyInfo* keyInfo,
             int (*encode)(const Body*, unsigned char**)) {
  if (part == nullptr || part->body == nullptr) return 0;
  if (setMd5WithRsa(part->body->signature) != 1 || setMd5WithRsa(part->signatureAlgorithm) != 1) {
    return 0;
  }
  unsigned char* raw = nullptr;
  const int len = encode(part->body, &raw);
  Der tbs(raw);
  return len > 0 ? signDer(tbs.get(), len, keyInfo, part->signature) : 0;
}

}  // namespace

int FEDI_digest_info(const unsigned char* data, std::size_t len, unsigned char* out,
                     std::size_t outLen, const EVP_MD* digest) {
  if (digest == nullptr || out == nullptr || (data == nullptr && len > 0)) return 0;
  const int nid = EVP_MD_get_type(digest);
  ASN1_OBJECT* oid = OBJ_nid2obj(nid);
  if (nid == NID_undef || oid == nullptr || OBJ_length(oid) == 0) return 0;
  std::array<unsigned char, EVP_MAX_MD_SIZE> value{};
  unsigned int valueLen = 0;
  if (EVP_Digest(data, len, value.data(), &valueLen, digest, nullptr) != 1) return 0;

  kestrune::Ptr<X509_SIG> info(X509_SIG_new());
  if (info == nullptr) return 0;
  X509_ALGOR* algorithm = nullptr;
  ASN1_OCTET_STRING* octets = nullptr;
  X509_SIG_getm(info.get(), &algorithm, &octets);
  if (X509_ALGOR_set0(algorithm, oid, V_ASN1_NULL, nullptr) != 1 ||
      ASN1_OCTET_STRING_set(octets, value.data(), static_cast<int>(valueLen)) != 1) {
    return 0;
  }
  const int infoLen = i2d_X509_SIG(info.get(), nullptr);
  if (infoLen < 1 || static_cast<std::size_t>(infoLen) > outLen) return 0;
  unsigned char* pos = out;
  return i2d_X509_SIG(info.get(), &pos);
}

int FEDIREQ_sign(FEDIREQ* req, const kestrune::token::TokenKeyInfo* keyInfo,
                 const unsigned char* pass, std::size_t passLen) {
  if (req == nullptr || req->request == nullptr || keyInfo == nullptr) return 0;
  const ASN1_BIT_STRING* constSignature = nullptr;
  const X509_ALGOR* constAlgorithm = nullptr;
  X509_REQ_get0_signature(req->request, &constSignature, &constAlgorithm);
  // Both live inside the request, which the caller lets us change.
  auto* signature = const_cast<ASN1_BIT_STRING*>(constSignature);
  if (setMd5WithRsa(const_cast<X509_ALGOR*>(constAlgorithm)) != 1) return 0;
  unsigned char* raw = nullptr;
  // The re-encoding variant drops the body's cached DER, which in-place edits leave stale.
  const int len = i2d_re_X509_REQ_tbs(req->request, &raw);
  Der tbs(raw);
  if (len < 1 || signDer(tbs.get(), len, keyInfo, signature) != 1) return 0;

  if (kestrune::fedi::setMacAlgorithm(req) != 1) return 0;
  unsigned char mac[4];
  if (FEDI_req_mac(req->request, pass, passLen, mac) != 1) return 0;
  if (req->mac == nullptr && (req->mac = ASN1_BIT_STRING_new()) == nullptr) return 0;
  return kestrune::fedi::setFullBitString(req->mac, mac, sizeof mac);
}

int FEDIEXT_sign(FEDIEXT* ext, const kestrune::token::TokenKeyInfo* keyInfo) {
  return ext != nullptr ? signBody(ext->signedPart, keyInfo, &i2d_FEDIEXT_INFO) : 0;
}

int FEDIREV_sign(FEDIREV* rev, const kestrune::token::TokenKeyInfo* keyInfo) {
  return rev != nullptr ? signBody(rev->signedPart, keyInfo, &i2d_FEDIREV_INFO) : 0;
}
