// The demo's own checks of what the control gives: certificate bags and revocation lists read
// with the record coders and OpenSSL rather than through the control, certificate times, and
// the files of the signed message with their verification.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "edifact/edifact.h"

namespace kestrune::host {

inline constexpr const char* kSignedMessageFile = "invoic-signed.edi";
inline constexpr const char* kUserBagFile = "user-cert.der";

// pathIn names the file called name in the demo's folder dir.
std::string pathIn(const std::string& dir, std::string_view name);

// What the demo reads of a certificate bag of one certificate.
struct CertificateFacts {
  std::vector<std::uint8_t> bagDer;          // the bag's DER, without the token's trailing zero
  std::vector<std::uint8_t> certificateDer;  // the DER of its certificate
  std::string serial;                        // in decimal
  std::int64_t notBefore = 0;                // seconds since 1970
  std::int64_t notAfter = 0;
};

// readBagFacts decodes the Base64 text of a certificate bag (followed by nothing but zero
// bytes, as the token keeps it) holding exactly one certificate. Returns false with the reason
// in why.
bool readBagFacts(std::string_view base64, CertificateFacts& facts, std::string& why);

// readRevokedSerials decodes the Base64 text of a FEDI revocation list and sets serials to the
// serial numbers its CRL lists, in decimal. Returns false with the reason in why.
bool readRevokedSerials(std::string_view base64, std::vector<std::string>& serials,
                        std::string& why);

// utcSeconds reads a certificate time as getBeginDateTime and getEndDateTime give it
// (YYYYMMDDhhmmss, UTC) as seconds since 1970; nullopt when the text is no such time.
std::optional<std::int64_t> utcSeconds(std::string_view digits);

// writeSignedFiles writes the signed message (in code page 950, as it was signed) to
// dir/kSignedMessageFile and the signer's certificate bag DER to dir/kUserBagFile. Returns false
// with the reason in why.
bool writeSignedFiles(const std::string& dir, std::u16string_view message,
                      std::span<const std::uint8_t> bagDer, std::string& why);

// verifySignedFiles reads both files back and checks the message against the bag's first
// certificate. Returns the verification's status, with its report; `failed` with the reason
// in report.message when a file can't be read or the bag doesn't decode.
edifact::VerifyStatus verifySignedFiles(const std::string& dir, edifact::VerifyReport& report);

}  // namespace kestrune::host
