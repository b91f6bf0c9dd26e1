// A short English text for each of the token layer's result codes.
#include "token/token.h"

namespace kestrune::token {

std::string_view tokenCodeText(TokenCode code) {
  using enum TokenCode;
  switch (code) {
    case kTokenOk:
      return "success";
    case kInitializeFailed:
      return "C_Initialize failed, or a session was asked for without a slot";
    case kLoginRefused:
      return "the login was refused";
    case kPinChangeRefused:
      return "the PIN could not be changed";
    case kNoTokenPresent:
      return "no slot holds a token";
    case kSearchFailed:
      return "the object search failed";
    case kLabelExists:
      return "an object with that label exists already";
    case kCreateFailed:
      return "the object could not be created";
    case kNotFound:
      return "the slot list is unreadable, or no object has that label";
    case kAmbiguousLabel:
      return "more than one object has that label";
    case kAttributeReadFailed:
      return "an attribute could not be read";
    case kNoMemory:
      return "memory is exhausted";
    case kCryptFailed:
      return "key generation or a cryptographic operation failed";
    case kFinalizeFailed:
      return "C_Finalize failed";
    case kOpenSessionFailed:
      return "no session could be opened";
    case kCloseSessionFailed:
      return "the session could not be closed";
    case kDestroyFailed:
      return "the object could not be deleted";
    case kModulusTooLarge:
      return "the modulus asked for is above 2048 bits";
    case kUnknownOperation:
      return "the operation or algorithm is not known";
    case kBadInputLength:
      return "the input's length does not fit the RSA modulus";
    case kLoadFailed:
      return "the PKCS#11 library could not be loaded";
    case kNoLibrary:
      return "no PKCS#11 library is loaded";
    case kEntryPointMissing:
      return "the module does not export a function the operation needs";
    case kTableFull:
      return "eight libraries are loaded already";
    case kRenameFailed:
      return "the object could not be renamed";
    case kPinLocked:
      return "the PIN is locked";
  }
  return {};
}

}  // namespace kestrune::token
