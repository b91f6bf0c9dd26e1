// A short English text for each of TVCAPI's result codes.
#include "TVCAPI/tvcapi.h"

extern "C" const char* TVXCAPI_CodeText(int32_t code) {
  switch (code) {
    case TVCAPI_OK:
      return "success";
    case TVCAPI_EMPTY_KEY:
      return "a name-specification line has an empty key";
    case TVCAPI_FAILED:
      return "a CryptoAPI call failed, or no valid choice was made";
    case TVCAPI_NO_MEMORY:
      return "memory is exhausted";
    case TVCAPI_BUFFER_TOO_SMALL:
      return "a buffer is too small, or a specification line is over 1023 characters";
    case TVCAPI_UNKNOWN_LANGUAGE:
      return "the display language is not known";
    case TVCAPI_BAD_ARGUMENT:
      return "an argument is missing or not valid";
    case TVCAPI_WRONG_HANDLE_TYPE:
      return "the handle is of another kind";
    case TVCAPI_BAD_BASE64:
      return "the Base64 text could not be decoded";
    case TVCAPI_NOT_FOUND:
      return "no certificate matches, or the store could not be opened";
    case TVCAPI_ONLY_EXPIRED:
      return "only expired certificates match";
    case TVCAPI_ONLY_NOT_YET_VALID:
      return "only certificates not yet valid match";
    case TVCAPI_ONLY_OUTSIDE_VALIDITY:
      return "only certificates outside their validity match";
    case TVCAPI_NO_MATCH:
      return "the certificate does not match the name specification";
    case TVCAPI_BAD_SIGNATURE:
      return "the signature does not verify";
    case TVCAPI_BAD_CERTIFICATE:
      return "the certificate could not be decoded";
    case TVCAPI_BAD_PKCS7:
      return "the PKCS#7 message could not be decoded";
    case TVCAPI_BAD_KEY:
      return "the key could not be decoded or used";
    case TVCAPI_BAD_SPECIFICATION:
      return "the name specification is malformed";
    case TVCAPI_SIGN_FAILED:
      return "signing failed";
    case TVCAPI_VERIFY_FAILED:
      return "verification failed";
    case TVCAPI_ENCRYPT_FAILED:
      return "encryption failed";
    case TVCAPI_DECRYPT_FAILED:
      return "decryption failed";
    case TVCAPI_CANCELLED:
      return "the user cancelled";
    case TVCAPI_WRONG_PIN:
      return "the PIN is wrong";
    case TVCAPI_PIN_BLOCKED:
      return "the PIN is blocked";
    case TVCAPI_NO_MEMORY_STORE:
      return "no memory store could be opened";
    case TVCAPI_NO_CSP_CONTEXT:
      return "the certificate's key provider or container could not be opened";
    case TVCAPI_NO_KEY_PROVIDER:
      return "the certificate has no key-provider property";
    case TVCAPI_STORE_ACCESS_DENIED:
      return "access to the store was denied";
    case TVCAPI_NOT_BIG5:
      return "the text is not in the Big5 code page";
    default:
      return nullptr;
  }
}
