// The library's own key containers, where imported keys live, and the cached context of its
// default container.
#include "TVCAPI/core_internal.h"

namespace {

constexpr const char* kDefaultContainer = "default.tvcapi.vornix.tarvonel";

HCRYPTPROV cachedDefault = 0;

bool missingKeySet(DWORD error) {
  return error == static_cast<DWORD>(NTE_BAD_KEYSET) ||
         error == static_cast<DWORD>(NTE_KEYSET_NOT_DEF) ||
         error == static_cast<DWORD>(NTE_BAD_KEYSET_PARAM);
}

// A key set made in the machine's store is opened to every user with a null DACL. The outcome
// is ignored: the key set is usable by its creator either way.
void openToEveryone(HCRYPTPROV provider) {
  SECURITY_DESCRIPTOR descriptor;
  if (InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
      SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
    CryptSetProvParam(provider, PP_KEYSET_SEC_DESCR, reinterpret_cast<const BYTE*>(&descriptor),
                      DACL_SECURITY_INFORMATION);
  }
}

HCRYPTPROV acquire(const char* container, bool allowCreate) {
  const char* const providers[] = {MS_ENHANCED_PROV_A, nullptr};
  const DWORD keySets[] = {0, CRYPT_MACHINE_KEYSET};
  for (const char* provider : providers) {
    for (DWORD keySet : keySets) {
      HCRYPTPROV context = 0;
      if (CryptAcquireContextA(&context, container, provider, PROV_RSA_FULL, keySet)) {
        return context;
      }
      if (!allowCreate || !missingKeySet(GetLastError())) continue;
      if (CryptAcquireContextA(&context, container, provider, PROV_RSA_FULL,
                               keySet | CRYPT_NEWKEYSET)) {
        if (keySet == CRYPT_MACHINE_KEYSET) openToEveryone(context);
        return context;
      }
    }
  }
  tvxCAPICallFailed(kModuleLib, __LINE__, "tvxCAPIAcquireKeyContainer", "CryptAcquireContextA");
  return 0;
}

}  // namespace

HCRYPTPROV tvxCAPIAcquireKeyContainer(const char* container, bool allowCreate) {
  if (container != nullptr) return acquire(container, allowCreate);
  if (cachedDefault == 0) cachedDefault = acquire(kDefaultContainer, allowCreate);
  return cachedDefault;
}

void tvxCAPIReleaseContext(HCRYPTPROV provider) {
  if (provider == 0 || provider == cachedDefault) return;
  CryptReleaseContext(provider, 0);
}
