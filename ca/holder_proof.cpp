#include "ca/holder_proof.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <memory>
#include <vector>

#include "FEDIX509/fedi_req.h"
#include "ca/certificate_delivery.h"
#include "ca/record_fields.h"
#include "common/ptr.h"

namespace kestrune::ca {

namespace {

const EVP_MD* acceptedDigest(const X509_ALGOR* algorithm) {
  if (algorithm == nullptr) return nullptr;
  const ASN1_OBJECT* oid = nullptr;
  X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
  int digestNid = NID_undef;
  int keyNid = NID_undef;
  if (OBJ_find_sigid_algs(OBJ_obj2nid(oid), &digestNid, &keyNid) != 1 ||
      keyNid != NID_rsaEncryption) {
    return nullptr;
  }
  switch (digestNid) {
    case NID_md5:
      return EVP_md5();
    case NID_sha1:
      return EVP_sha1();
    case NID_sha256:
      return EVP_sha256();
    default:
      return nullptr;
  }
}

}  // namespace

bool verifySignature(EVP_PKEY* key, const X509_ALGOR* algorithm, const ASN1_BIT_STRING* signature,
                     std::span<const std::uint8_t> data) {
  const EVP_MD* digest = acceptedDigest(algorithm);
  if (key == nullptr || digest == nullptr || signature == nullptr || signature->length <= 0) {
    return false;
  }
  // Written byte-wise, a signature drops its trailing zero octets: padded back to the key's length.
  const std::vector<unsigned char> padded = fedi::paddedBits(signature, key);
  const Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, digest, nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), padded.data(), padded.size(), data.data(), data.size()) == 1;
}

std::optional<Refusal> proveHolder(const AuthorityContext& context, AuthorityStore& store,
                                   const SignedClaim& claim, ProvenCertificate& proven) {
  if (claim.issuer == nullptr || X509_NAME_cmp(claim.issuer, context.issuerName.get()) != 0) {
    return Refusal{kRefuseIssuer, "the certificate named is not issued by this authority"};
  }
  const auto serial = serialOf(claim.serial);
  if (!serial) return Refusal{kRefuseNotFound, "no certificate has the serial number named"};
  CertificateRecord& certificate = proven.record;
  switch (store.bySerial(*serial, certificate)) {
    case StoreResult::ok:
      break;
    case StoreResult::notFound:
      return Refusal{kRefuseNotFound, "no certificate has the serial number named"};
    case StoreResult::failed:
      return Refusal{kRefuseInternal, "the authority cannot read its records"};
  }
  if (certificate.authority) {
    return Refusal{kRefuseNotFound, "the serial number names the authority's own certificate"};
  }
  proven.decoded = decodeCertificate(certificate);
  proven.key.reset(proven.decoded ? FEDI_X509_get_pubkey(proven.decoded.get()) : nullptr);
  if (!proven.key) return Refusal{kRefuseInternal, "a recorded certificate does not decode"};
  // Both algorithm fields are covered: the one inside the body by the signature itself.
  if (claim.bodyAlgorithm == nullptr ||
      X509_ALGOR_cmp(claim.bodyAlgorithm, claim.signatureAlgorithm) != 0 ||
      !verifySignature(proven.key.get(), claim.signatureAlgorithm, claim.signature,
                       claim.signedDer)) {
    return Refusal{kRefuseSignature, "the request is not signed with the named certificate's key"};
  }
  if (certificate.revokedAt) return Refusal{kRefuseRevoked, "the certificate named is revoked"};
  const std::int64_t now = context.now();
  if (now < certificate.notBefore || now >= certificate.notAfter) {
    return Refusal{kRefuseNotInForce, "the certificate named is not in force"};
  }
  CertificateRecord current;
  switch (store.inForce(certificate.holder, now, current)) {
    case StoreResult::ok:
      if (current.serial == certificate.serial) return std::nullopt;
      [[fallthrough]];
    case StoreResult::notFound:
      return Refusal{kRefuseNotCurrent, "the certificate named is not the holder's current one"};
    case StoreResult::failed:
      break;
  }
  return Refusal{kRefuseInternal, "the authority cannot read its records"};
}

}  // namespace kestrune::ca
