// FEDI_digest_info: the DER DigestInfo that a token signs, for a request's signature and for
// its verification.
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <array>

#include "FEDIX509/fedi_req.h"
#include "common/ptr.h"

int FEDI_digest_info(const unsigned char* data, std::size_t len, unsigned char* out,
                     std::size_t outLen, const EVP_MD* digest) {
  if (digest == nullptr || out == nullptr || (data == nullptr && len > 0)) return 0;
  const int nid = EVP_MD_get_type(digest);
  ASN1_OBJECT* oid = OBJ_nid2obj(nid);
  if (nid == NID_undef || oid == nullptr || OBJ_length(oid) == 0) return 0;
  std::array<unsigned char, EVP_MAX_MD_SIZE> value{};
  unsigned int valueLen = 0;
  if (EVP_Digest(data, len, value.data(), &valueLen, digest, nullptr) != 1) return 0;

  const kestrune::Ptr<X509_SIG> info(X509_SIG_new());
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
