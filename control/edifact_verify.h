// Verification of a signed EDIFACT message: the receiving side of FEDIMessageSign.
//
// It finds the security header group after UNH and the signature in the USR segment after
// UST, recomputes the digest over the signed range (from "USH+" up to, not including, "UST+")
// with the hash that the first USA segment names (1:::6:1 MD5, 1:::8:1 SHA-1), checks the
// RSA PKCS #1 v1.5 signature with the signer's public key, and checks the UNT segment count.
// The message is the code-page-950 text exactly as it was signed.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct FEDICERT;
struct FEDI_X509;

namespace kestrune::edifact {

enum class VerifyStatus {
  ok,
  noMessageHeader,     // no UNH segment
  noSecurityHeader,    // no USH segment after UNH, or its header group is incomplete
  unknownAlgorithm,    // the first USA names neither MD5 (1:::6:1) nor SHA-1 (1:::8:1)
  noSecurityTrailer,   // no UST segment after the header group
  noSignature,         // no USR segment after UST, or one without a signature
  malformedSignature,  // the USR value isn't hexadecimal, or not as long as the key's modulus
  noSignerKey,         // no certificate in the bag, or no RSA key in the certificate
  badSignature,        // the signature does not match the signed range and the key
  noMessageTrailer,    // no UNT segment after USR
  malformedCount,      // UNT's first element isn't a decimal number
  wrongCount,          // UNT's count differs from the message's segments
  failed,              // memory or the cryptographic library failed
};

struct VerifyReport {
  VerifyStatus status = VerifyStatus::failed;
  std::string message;  // what was found, or why it failed, in one line
  // Filled as far as the check got:
  std::string algorithm;        // "MD5" or "SHA-1"
  std::size_t signedBytes = 0;  // length of the signed range
  std::string signer;           // the USC segment's first element (the signer's CSN)
  std::int64_t segments = 0;    // segments counted from UNH to UNT
};

// verifyEdifactMessage checks message against the key of the bag's first certificate, of the
// certificate, or the key itself, fills report and returns report.status: ok only when the
// signature verifies and the UNT count is right. A message with several problems reports the
// first one found in this order: structure, signature, count. The arguments are not changed
// in any way a caller can see; the key is not consumed.
VerifyStatus verifyEdifactMessage(std::string_view message, FEDICERT* signer,
                                  VerifyReport& report) noexcept;
VerifyStatus verifyEdifactMessage(std::string_view message, FEDI_X509* signer,
                                  VerifyReport& report) noexcept;
VerifyStatus verifyEdifactMessage(std::string_view message, EVP_PKEY* signerKey,
                                  VerifyReport& report) noexcept;

}  // namespace kestrune::edifact
