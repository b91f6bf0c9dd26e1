// The library-wide provider context that brackets a signing session of the control.
#include "TVCAPI/core_internal.h"

namespace {

// A provider-specific parameter: its flags open (0x80000001) and end (0x80000002) a hold on
// the provider for a session. Providers that don't know it refuse it, which is ignored.
constexpr DWORD kSessionHold = 0x4253;
constexpr DWORD kHoldBegin = 0x80000001;
constexpr DWORD kHoldEnd = 0x80000002;

HCRYPTPROV libraryContext = 0;

}  // namespace

extern "C" int32_t TVXCAPI_AcquireCSP(const char* providerName) {
  if (providerName == nullptr) return TVCAPI_BAD_ARGUMENT;
  // A second acquisition replaces the first, which is released rather than lost.
  TVXCAPI_ReleaseCSP(0);
  HCRYPTPROV context = 0;
  if (!CryptAcquireContextA(&context, nullptr, providerName, PROV_RSA_FULL, 0)) {
    const DWORD error = GetLastError();
    const bool retried =
        (error == static_cast<DWORD>(NTE_BAD_KEYSET) &&
         CryptAcquireContextA(&context, nullptr, providerName, PROV_RSA_FULL, CRYPT_NEWKEYSET)) ||
        (error == static_cast<DWORD>(NTE_KEYSET_NOT_DEF) &&
         CryptAcquireContextA(&context, nullptr, providerName, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    if (!retried) {
      tvxCAPICallFailed(kModuleXCAPI, __LINE__, "TVXCAPI_AcquireCSP", "CryptAcquireContextA");
      return TVCAPI_NO_CSP_CONTEXT;
    }
  }
  libraryContext = context;
  CryptSetProvParam(libraryContext, kSessionHold, nullptr, kHoldBegin);
  return TVCAPI_OK;
}

// The session ends here, so the PIN accepted during it is wiped too.
extern "C" void TVXCAPI_ReleaseCSP(uint32_t) {
  tvxCAPIForgetPin();
  if (libraryContext == 0) return;
  CryptSetProvParam(libraryContext, kSessionHold, nullptr, kHoldEnd);
  tvxCAPIReleaseContext(libraryContext);
  libraryContext = 0;
}
