// The library-wide provider context that brackets a signing operation of the control.
#include "TVCAPI/report.h"
#include "TVCAPI/tvcapi_internal.h"

namespace {

constexpr DWORD kHoldParameter = 0x4253;
constexpr DWORD kHoldBegin = 0x80000001;
constexpr DWORD kHoldEnd = 0x80000002;
HCRYPTPROV libraryContext = 0;

}  // namespace

extern "C" int32_t TVXCAPI_AcquireCSP(const char* providerName) {
  if (providerName == nullptr) return TVCAPI_BAD_ARGUMENT;
  // A context still held from an earlier operation is released, not lost.
  if (libraryContext != 0) TVXCAPI_ReleaseCSP(0);
  HCRYPTPROV context = 0;
  if (!CryptAcquireContextA(&context, nullptr, providerName, PROV_RSA_FULL, 0)) {
    const DWORD error = GetLastError();
    const DWORD retry = error == NTE_BAD_KEYSET       ? CRYPT_NEWKEYSET
                        : error == NTE_KEYSET_NOT_DEF ? CRYPT_VERIFYCONTEXT
                                                      : 0;
    if (retry == 0 ||
        !CryptAcquireContextA(&context, nullptr, providerName, PROV_RSA_FULL, retry)) {
      TVCAPI_REPORT_CALL("TVXCAPI", "TVXCAPI_AcquireCSP", "CryptAcquireContextA");
      return TVCAPI_NO_CSP_CONTEXT;
    }
  }
  libraryContext = context;
  // The provider's own hold for the operation; providers that don't know it refuse, harmlessly.
  CryptSetProvParam(libraryContext, kHoldParameter, nullptr, kHoldBegin);
  return TVCAPI_OK;
}

extern "C" void TVXCAPI_ReleaseCSP(uint32_t) {
  if (libraryContext != 0) {
    CryptSetProvParam(libraryContext, kHoldParameter, nullptr, kHoldEnd);
    CryptReleaseContext(libraryContext, 0);
    libraryContext = 0;
  }
  // The operation is over: no PIN stays in memory beyond it.
  tvxCAPIWipePinCache();
}
