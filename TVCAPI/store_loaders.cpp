// Opening certificate stores into a store handle: the system stores, the registry stores of
// the local machine and of the current user, and the store file in the temporary folder.
#include <cstdio>
#include <cstdlib>

#include "TVCAPI/core_internal.h"

namespace {

constexpr DWORD kMaxPath = 260;
constexpr char kStoreFileName[] = "tvys.st";

enum class Opener { systemA, machine, user, storeFile };

struct Source {
  std::uint32_t bit;
  Opener opener;
  const char* name;
  const WCHAR* wideName;
};

// In the order the stores are opened.
constexpr Source kSources[] = {
    {TVCAPI_SYSTEM_ROOT, Opener::systemA, "Root", nullptr},
    {TVCAPI_SYSTEM_CA, Opener::systemA, "CA", nullptr},
    {TVCAPI_SYSTEM_MY, Opener::systemA, "My", nullptr},
    {TVCAPI_SYSTEM_ADDRESS_BOOK, Opener::systemA, "AddressBook", nullptr},
    {TVCAPI_MACHINE_ROOT, Opener::machine, nullptr, L"Root"},
    {TVCAPI_MACHINE_CA, Opener::machine, nullptr, L"CA"},
    {TVCAPI_MACHINE_MY, Opener::machine, nullptr, L"My"},
    {TVCAPI_MACHINE_ADDRESS_BOOK, Opener::machine, nullptr, L"AddressBook"},
    {TVCAPI_USER_ROOT, Opener::user, nullptr, L"Root"},
    {TVCAPI_USER_CA, Opener::user, nullptr, L"CA"},
    {TVCAPI_USER_MY, Opener::user, nullptr, L"My"},
    {TVCAPI_USER_ADDRESS_BOOK, Opener::user, nullptr, L"AddressBook"},
    {TVCAPI_USER_REQUEST, Opener::user, nullptr, L"Request"},
    {TVCAPI_STORE_FILE, Opener::storeFile, nullptr, nullptr},
};

std::uint32_t sourceCount(std::uint32_t sources) {
  std::uint32_t n = 0;
  for (const Source& source : kSources) {
    if ((sources & source.bit) != 0) ++n;
  }
  return n;
}

// The store file is only read: opening an existing file read-only keeps a missing one missing
// (ERROR_FILE_NOT_FOUND) instead of creating it where a provider would.
HCERTSTORE openStoreFile(const WCHAR* path) {
  return CertOpenStore(CERT_STORE_PROV_FILENAME_W, 0, 0,
                       CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, path);
}

}  // namespace

WCHAR* tvxCAPIStoreFilePath() {
  char folder[kMaxPath];
  const DWORD length = GetTempPathA(kMaxPath, folder);
  if (length == 0 || length >= kMaxPath) return nullptr;
  char path[kMaxPath + sizeof kStoreFileName];
  const int written = std::snprintf(path, sizeof path, "%s%s", folder, kStoreFileName);
  if (written <= 0 || static_cast<std::size_t>(written) >= sizeof path) return nullptr;
  return tvxCAPIWideText(path);
}

extern "C" int32_t TVXCAPI_LoadStore(TVCAPIHandle** out, uint32_t sources, uint32_t options) {
  if (out == nullptr || sources == 0) return TVCAPI_BAD_ARGUMENT;
  if (sourceCount(sources) > kStoreListSlots) return TVCAPI_BAD_ARGUMENT;
  StoreList* list = tvxCAPINewStoreList();
  if (list == nullptr) return tvxCAPIOutOfMemory(kModuleXCAPI, __LINE__, "TVXCAPI_LoadStore");
  const DWORD access = (options & TVCAPI_OPEN_WRITABLE) != 0 ? 0 : CERT_STORE_READONLY_FLAG;
  for (const Source& source : kSources) {
    if ((sources & source.bit) == 0) continue;
    HCERTSTORE store = nullptr;
    switch (source.opener) {
      case Opener::systemA:
        store = CertOpenSystemStoreA(0, source.name);
        break;
      case Opener::machine:
        store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                              CERT_SYSTEM_STORE_LOCAL_MACHINE | access, source.wideName);
        break;
      case Opener::user:
        store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                              CERT_SYSTEM_STORE_CURRENT_USER | access, source.wideName);
        break;
      case Opener::storeFile: {
        WCHAR* path = tvxCAPIStoreFilePath();
        if (path == nullptr) continue;  // no path, no store file: passed over
        store = openStoreFile(path);
        const DWORD error = GetLastError();
        TVXCAPI_Free(path);
        if (store == nullptr && error == ERROR_FILE_NOT_FOUND) continue;
        SetLastError(error);
        break;
      }
    }
    if (store == nullptr) {
      const DWORD error = GetLastError();
      tvxCAPIReleaseStoreList(list);
      return error == ERROR_ACCESS_DENIED ? TVCAPI_STORE_ACCESS_DENIED : TVCAPI_FAILED;
    }
    tvxCAPIAppendStore(list, store);
  }
  return tvxCAPIWrapStoreList(list, out);
}

extern "C" int32_t TVXCAPI_LoadStoreFromStoreFile(TVCAPIHandle** out) {
  if (out == nullptr) return TVCAPI_BAD_ARGUMENT;
  StoreList* list = tvxCAPINewStoreList();
  if (list == nullptr) {
    return tvxCAPIOutOfMemory(kModuleXCAPI, __LINE__, "TVXCAPI_LoadStoreFromStoreFile");
  }
  WCHAR* path = tvxCAPIStoreFilePath();
  HCERTSTORE store = path != nullptr ? openStoreFile(path) : nullptr;
  TVXCAPI_Free(path);
  if (store == nullptr) {
    tvxCAPIReleaseStoreList(list);
    return TVCAPI_NOT_FOUND;
  }
  tvxCAPIAppendStore(list, store);
  return tvxCAPIWrapStoreList(list, out);
}
