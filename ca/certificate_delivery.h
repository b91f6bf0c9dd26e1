// Issuing and delivering certificates on the authority's side: the DER of a newly signed
// certificate, a recorded certificate decoded again, and the bag an answer carries it in.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ca/answers.h"

namespace kestrune::ca {

// signCertificate returns the DER of a certificate issued by issuer and signed md5WithRSA with
// authorityKey, for subject and the public half of subjectKey, serial serial, valid from
// notBefore to notAfter; no bytes on failure.
std::vector<std::uint8_t> signCertificate(EVP_PKEY* authorityKey, const FediName& issuer,
                                          std::int64_t serial, const FediName& subject,
                                          std::int64_t notBefore, std::int64_t notAfter,
                                          EVP_PKEY* subjectKey);

// issueFor records and signs the certificate that plan describes: issued by the authority,
// for the holder's name (O = SID2, CN = SID1) and the public half of subjectKey. The store's
// result, with issued filled when it is ok.
StoreResult issueFor(const AuthorityContext& context, AuthorityStore& store,
                     const CertificatePlan& plan, EVP_PKEY* subjectKey, CertificateRecord& issued);

// issueNewFor is issueFor for a new certificate admitted by the holder's pass phrase pass, with
// the store's checks of issueNew.
NewCertificateResult issueNewFor(const AuthorityContext& context, AuthorityStore& store,
                                 const CertificatePlan& plan, const std::string& pass,
                                 EVP_PKEY* subjectKey, CertificateRecord& issued);

// keyDigest returns SHA-256 of the PKCS#1 RSAPublicKey of key, the same for a key whatever
// algorithm a certificate names it under; no bytes on failure.
std::vector<std::uint8_t> keyDigest(const EVP_PKEY* key);
// certificateKeyDigest returns keyDigest of the recorded certificate's key; no bytes on failure.
std::vector<std::uint8_t> certificateKeyDigest(const CertificateRecord& record);

// decodeCertificate returns the recorded certificate as a FEDI_X509, or null.
CertificatePtr decodeCertificate(const CertificateRecord& record);

// deliverBag answers type with a bag holding the recorded certificate alone, stamped now.
Outcome deliverBag(const AuthorityContext& context, int type, const CertificateRecord& record);

}  // namespace kestrune::ca
