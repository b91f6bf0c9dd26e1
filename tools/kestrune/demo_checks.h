// The demo's own checks of what the control gives: expected texts worked out independently
// of the control, the signature check with OpenSSL, and the files of the signed message with
// their verification.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "FEDIX509/fedi_x509.h"
#include "control/edifact_verify.h"

namespace kestrune::host {

inline constexpr const char* kSignedMessageFile = "invoic-signed.edi";
inline constexpr const char* kUserBagFile = "user-cert.der";

// utcDate returns the UTC date of t as YYYYMMDD, the form getBeginDate and getEndDate give for
// a certificate time written in UTC; empty when t can't be converted.
std::string utcDate(std::int64_t t);

// magnitudeHex returns the bytes as upper-case hexadecimal without leading zero bytes, the form
// getCModulus gives ("0" for no bytes or only zeros).
std::string magnitudeHex(std::span<const std::uint8_t> bytes);

// md5SignatureVerifies returns true when hexSignature is an RSA PKCS #1 v1.5 signature over the
// MD5 digest of data that verifies with the certificate's public key.
bool md5SignatureVerifies(std::string_view hexSignature, std::string_view data,
                          FEDI_X509* certificate);

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
