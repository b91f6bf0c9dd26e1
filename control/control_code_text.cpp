// A short English text for each of the control's result codes.
#include "control/control_codes.h"

namespace kestrune {

std::string_view controlCodeText(ControlCode code) {
  using enum ControlCode;
  switch (code) {
    case kOk:
      return "success";
    case kNotCompleted:
      return "the operation did not complete";
    case kNoMemory:
      return "memory is exhausted";
    case kBadText:
      return "a text argument could not be converted";
    case kMalformedArgument:
      return "an argument is malformed (bad hex, hash length or date), or no usable answer came";
    case kFileOpenFailed:
      return "a file could not be opened or created";
    case kWriteFailed:
      return "a file or token write failed or was short";
    case kReadFailed:
      return "a token object or a file could not be read";
    case kEncodeFailed:
      return "a message or record could not be encoded or decoded";
    case kBase64Failed:
      return "the Base64 text could not be decoded or encoded";
    case kTextBufferFailed:
      return "a text argument could not be converted into its buffer";
    case kResultTextFailed:
      return "a result text could not be converted";
    case kNoSignature:
      return "the token did not produce a signature";
    case kRequestNotVerified:
      return "the request made on the token does not verify";
    case kTokenFailure:
      return "the PKCS#11 library failed or could not be loaded";
    case kTokenInitFailed:
      return "the PKCS#11 library could not be initialised";
    case kSlotListFailed:
      return "the slot list could not be read, or no token is present";
    case kSessionFailed:
      return "no session could be opened on the token";
    case kPinRefused:
      return "the PIN was refused";
    case kDeleteFailed:
      return "an existing token object could not be deleted";
    case kKeyGenerationFailed:
      return "the key pair could not be generated";
    case kTokenMemoryFull:
      return "the token's memory is full";
    case kPinLocked:
      return "the PIN is locked";
    case kUnexpectedAnswer:
      return "the authority gave an answer of another type";
    case kCaExchange11:
      return "the request to the authority failed";
    case kCaExchange12:
      return "the authority's HTTP status was not 200";
    case kCaExchange13:
      return "the authority's answer does not belong to the request";
    case kUndecodable:
      return "a certificate, bundle or answer could not be decoded";
    case kBagCount:
      return "the certificate bag does not hold exactly one certificate";
    case kNoPublicKey:
      return "no public key could be had from a certificate";
    case kCaRecordUndecodable:
      return "the built-in CA public-key record could not be decoded";
    case kSignatureInvalid:
      return "the certificate's signature does not verify with the CA's key";
    case kPinNotVerified:
      return "the PIN has not been verified: call checkPassword first";
    case kKeyMismatch:
      return "the certificate's key is not the token's key pair";
    case kTokenKeyUnreadable:
      return "the token's public key could not be read";
    case kSigningKeyMissing:
      return "the signing key was not found on the token";
  }
  return {};
}

}  // namespace kestrune
