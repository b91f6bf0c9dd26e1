// The control's result codes: what every method returns or leaves in lastErrorCode. A host
// compares a method's number result with them, so the methods return plain numbers:
// +ControlCode::kOk is the number of a code. The token layer's codes are kestrune::token's
// TokenCode, with numbers of their own.
#pragma once

#include <cstdint>
#include <string_view>

namespace kestrune {

enum class ControlCode : std::int32_t {
  kOk = 0,
  kNotCompleted = 1,            // the operation did not complete
  kNoMemory = 2,                // memory exhausted; CA exchange -1
  kBadText = 3,                 // a text argument could not be converted; CA exchange -4
  kMalformedArgument = 4,       // bad hex, hash length, date; no or unusable answer
  kFileOpenFailed = 10,         // a file could not be opened or created
  kWriteFailed = 11,            // a file or token write failed or was short
  kReadFailed = 12,             // a token object or a file could not be read
  kEncodeFailed = 500,          // CA exchange -2, -3; an object could not be encoded
  kBase64Failed = 501,          // Base64 decoding or encoding failed
  kTextBufferFailed = 502,      // a text argument could not be converted into its buffer
  kResultTextFailed = 503,      // a result text could not be converted to a BSTR
  kNoSignature = 1003,          // the token did not produce a signature
  kRequestNotVerified = 1004,   // a fresh new-certificate request did not verify
  kTokenFailure = 1500,         // any other failure of the token library
  kTokenInitFailed = 1510,      // the token library could not be initialised
  kSlotListFailed = 1511,       // the slot list could not be read
  kSessionFailed = 1512,        // no session could be opened
  kPinRefused = 1513,           // the PIN was refused
  kDeleteFailed = 1514,         // an existing token object could not be deleted
  kKeyGenerationFailed = 1515,  // the key pair could not be generated
  kTokenMemoryFull = 1516,      // CKR_DEVICE_MEMORY after a failed write or key generation
  kPinLocked = 1517,            // the PIN is locked
  kUnexpectedAnswer = 2000,  // the authority answered with an unexpected type (2000 + n: status n)
  kCaExchange11 = 3000,      // CA exchange -11
  kCaExchange12 = 3001,      // CA exchange -12
  kCaExchange13 = 3002,      // CA exchange -13
  kUndecodable = 10001,      // a certificate, bundle or answer could not be decoded
  kBagCount = 10002,         // a bag holds no certificate, or not exactly one
  kNoPublicKey = 10003,      // no public key could be obtained from a certificate
  kCaRecordUndecodable = 10004,  // the built-in CA public-key record could not be decoded
  kSignatureInvalid = 10006,     // a certificate's signature does not verify with the CA's key
  kPinNotVerified = 10007,       // checkPassword first
  kKeyMismatch = 10008,          // a certificate's key does not match the token's key pair
  kTokenKeyUnreadable = 10009,   // the token's public key could not be read
  kSigningKeyMissing = 10010,    // the signing key was not found on the token
};

// A short English text for the code; empty for a number that is not one of the control's
// own (control/error_text.h explains every number a method can leave).
std::string_view controlCodeText(ControlCode code);

// The number a method returns or records for a code.
constexpr std::int32_t operator+(ControlCode code) {
  return static_cast<std::int32_t>(code);
}

}  // namespace kestrune
