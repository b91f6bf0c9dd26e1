// The checks behind a renewal or a revocation: the request names one of the authority's
// certificates by issuer and serial number, is signed with that certificate's key, and that
// certificate is its holder's current one (unrevoked, in force, the latest in force).
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <optional>
#include <span>

#include "ca/answers.h"

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

// proveHolder returns no refusal and fills certificate (the named one) and decoded when the
// claim holds; otherwise the refusal, checked in this order: issuer (7), a holder certificate
// with that serial (5), signature with its key (3), revoked (6), in force now (9), the holder's
// current certificate (10).
std::optional<Refusal> proveHolder(const AuthorityContext& context, AuthorityStore& store,
                                   const SignedClaim& claim, CertificateRecord& certificate,
                                   CertificatePtr& decoded);

// verifySignature returns true when signature over data verifies with key under an RSA
// signature algorithm with MD5, SHA-1 or SHA-256.
bool verifySignature(EVP_PKEY* key, const X509_ALGOR* algorithm, const ASN1_BIT_STRING* signature,
                     std::span<const std::uint8_t> data);

}  // namespace kestrune::ca
