// The checks behind a renewal or a revocation: the request names one of the authority's
// certificates by issuer and serial number, is signed with that certificate's key, and that
// certificate is its holder's current one (unrevoked, in force, the latest in force).
#pragma once

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ca/answers.h"
#include "common/der.h"

namespace kestrune::ca {

// What a signed renewal or revocation request says about itself.
struct SignedClaim {
  const X509_NAME* issuer = nullptr;
  const ASN1_INTEGER* serial = nullptr;
  const X509_ALGOR* bodyAlgorithm = nullptr;  // the algorithm repeated inside the signed body
  const X509_ALGOR* signatureAlgorithm = nullptr;
  const ASN1_BIT_STRING* signature = nullptr;
  std::span<const std::uint8_t> signedDer;  // the DER of the signed body
};

// The certificate a signed request named, once proven: its record, the record decoded, and the
// public key the request's signature verified with.
struct ProvenCertificate {
  CertificateRecord record;
  CertificatePtr decoded;
  KeyPtr key;
};

// proveHolder returns no refusal and fills proven when the claim holds; otherwise the refusal,
// checked in this order: issuer (7), a holder certificate with that serial (5), signature with its
// key (3), revoked (6), in force now (9), the holder's current certificate (10).
std::optional<Refusal> proveHolder(const AuthorityContext& context, AuthorityStore& store,
                                   const SignedClaim& claim, ProvenCertificate& proven);

// proveSignedRequest encodes the signed body of a renewal or revocation request (part) with
// encode and proves its holder as proveHolder does, serial being the body's serial number of
// the certificate named; a body that doesn't encode is refused as malformed with notEncoded.
// The holder of a certificate found is noted for the log line, proven or not.
template <class Signed, class Body>
std::optional<Refusal> proveSignedRequest(const AuthorityContext& context, AuthorityStore& store,
                                          const Signed& part, const ASN1_INTEGER* serial,
                                          int (*encode)(const Body*, unsigned char**),
                                          const char* notEncoded, ProvenCertificate& proven,
                                          RequestNote& note) {
  const std::vector<std::uint8_t> body = kestrune::toDer(part.body, encode);
  if (body.empty()) return Refusal{kRefuseMalformed, notEncoded};

  SignedClaim claim;
  claim.issuer = part.body->issuer;
  claim.serial = serial;
  claim.bodyAlgorithm = part.body->signature;
  claim.signatureAlgorithm = part.signatureAlgorithm;
  claim.signature = part.signature;
  claim.signedDer = body;
  auto refusal = proveHolder(context, store, claim, proven);
  if (proven.record.serial != 0) note.holder = proven.record.holder;
  return refusal;
}

// verifySignature returns true when signature over data verifies with key under an RSA
// signature algorithm with MD5, SHA-1 or SHA-256.
bool verifySignature(EVP_PKEY* key, const X509_ALGOR* algorithm, const ASN1_BIT_STRING* signature,
                     std::span<const std::uint8_t> data);

}  // namespace kestrune::ca
