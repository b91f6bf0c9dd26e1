// The key-operation tables of private and public key handles.
#include "TVCAPI/core_internal.h"

namespace {

int32_t cannotEncrypt(TVCAPIHandle*, const uint8_t*, uint32_t, uint32_t, TVCAPI_BLOB*) {
  return TVCAPI_FAILED;
}

int32_t cannotDecrypt(TVCAPIHandle*, const uint8_t*, uint32_t, uint32_t, TVCAPI_BLOB*) {
  return TVCAPI_FAILED;
}

int32_t noSixthOperation(void) {
  return -1;
}

}  // namespace

extern "C" const TVCAPIKeyOps tvxCAPIPrivateKeyOps = {cannotEncrypt,    TVXCAPI_PrivateDecrypt,
                                                      TVXCAPI_PureSign, nullptr,
                                                      TVXCAPI_KeySize,  noSixthOperation};
extern "C" const TVCAPIKeyOps tvxCAPIPublicKeyOps = {
    TVXCAPI_PublicEncrypt, cannotDecrypt,   nullptr,
    TVXCAPI_PureVerify,    TVXCAPI_KeySize, noSixthOperation};
