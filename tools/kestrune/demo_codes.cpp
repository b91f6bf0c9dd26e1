#include "tools/kestrune/demo_codes.h"

#include <string_view>

#include "ca/refusals.h"
#include "control/TVFEDIMiniKeyCrypt.h"

namespace kestrune::host {
namespace {

// The error numbers of the HTTP layer (WinInet's) that the CA methods pass on.
constexpr std::int32_t kFirstNetworkError = 12000;
constexpr std::int32_t kLastNetworkError = 12171;

// refusalMeaning names the authority's refusals (the status n of a 2000 + n code).
std::string_view refusalMeaning(std::int32_t status) {
  switch (status) {
    case ca::kRefuseMalformed:
      return "the request does not decode";
    case ca::kRefuseContentType:
      return "a request the authority does not answer";
    case ca::kRefuseSignature:
      return "the request's signature does not verify";
    case ca::kRefuseHolderOrMac:
      return "the holder is not enrolled or the pass phrase is wrong";
    case ca::kRefuseNotFound:
      return "no such certificate";
    case ca::kRefuseRevoked:
      return "the certificate is revoked";
    case ca::kRefuseIssuer:
      return "the issuer named is not this authority";
    case ca::kRefuseSubject:
      return "the subject is not the holder's";
    case ca::kRefuseNotInForce:
      return "the certificate is not in force";
    case ca::kRefuseNotCurrent:
      return "the certificate is not the holder's current one";
    case ca::kRefuseKey:
      return "the key is not one the authority certifies";
    case ca::kRefuseEnrolAgain:
      return "the pass phrase is spent or locked: enrol the holder again";
    case ca::kRefuseKeyCertified:
      return "the key has a certificate in force: renew it instead";
    case ca::kRefuseInternal:
      return "the authority failed";
    default:
      return "see its status text";
  }
}

}  // namespace

std::string meaningOf(std::int32_t code) {
  // A number outside the table falls through to the ranges below.
  using enum ControlCode;
  switch (static_cast<ControlCode>(code)) {
    case kOk:
      return "ok";
    case kNotCompleted:
      return "not completed";
    case kMalformedArgument:
      return "no usable answer";
    case kReadFailed:
      return "a token object could not be read";
    case kEncodeFailed:
      return "a message or record could not be encoded";
    case kBase64Failed:
      return "the Base64 text could not be decoded";
    case kNoSignature:
      return "the token did not sign";
    case kRequestNotVerified:
      return "the request made on the token does not verify";
    case kTokenFailure:
      return "the token library failed";
    case kTokenInitFailed:
      return "the token library could not be initialised";
    case kSlotListFailed:
      return "the slot list could not be read";
    case kSessionFailed:
      return "no session could be opened";
    case kPinRefused:
      return "the PIN was refused";
    case kDeleteFailed:
      return "a token object could not be deleted";
    case kKeyGenerationFailed:
      return "the key pair could not be generated";
    case kTokenMemoryFull:
      return "the token's memory is full";
    case kPinLocked:
      return "the PIN is locked";
    case kUnexpectedAnswer:
      return "the authority gave an answer of another type";
    case kUndecodable:
      return "a certificate could not be decoded";
    case kBagCount:
      return "the bag does not hold exactly one certificate";
    case kNoPublicKey:
      return "no public key could be had from a certificate";
    case kSignatureInvalid:
      return "the certificate's signature does not verify with the CA's key";
    case kPinNotVerified:
      return "the PIN has not been verified";
    case kKeyMismatch:
      return "the certificate's key is not the token's key pair";
    case kSigningKeyMissing:
      return "the signing key was not found on the token";
    default:
      break;
  }
  if (code > +kUnexpectedAnswer && code < +kCaExchange11) {
    return "the authority refused: " + std::string(refusalMeaning(code - +kUnexpectedAnswer));
  }
  if (code >= kFirstNetworkError && code <= kLastNetworkError) {
    return "the authority could not be reached";
  }
  return "see the error table";
}

}  // namespace kestrune::host
