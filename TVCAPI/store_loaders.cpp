// Opening stores into a store list: the system stores, the machine's and the user's registry
// stores, and the store file in the temporary folder.
#include <bit>
#include <cstdlib>
#include <cstring>

#include "TVCAPI/report.h"
#include "TVCAPI/tvcapi_internal.h"

namespace {

enum class Opening { system, localMachine, currentUser, storeFile };
struct Source {
  std::uint32_t bit;
  Opening how;
  const char* name;
  const wchar_t* wideName;
};
constexpr Source kSources[] = {
    {0x1, Opening::system, "Root", nullptr},
    {0x2, Opening::system, "CA", nullptr},
    {0x4, Opening::system, "My", nullptr},
    {0x8, Opening::system, "AddressBook", nullptr},
    {0x10, Opening::localMachine, nullptr, L"Root"},
    {0x20, Opening::localMachine, nullptr, L"CA"},
    {0x40, Opening::localMachine, nullptr, L"My"},
    {0x80, Opening::localMachine, nullptr, L"AddressBook"},
    {0x100, Opening::currentUser, nullptr, L"Root"},
    {0x200, Opening::currentUser, nullptr, L"CA"},
    {0x400, Opening::currentUser, nullptr, L"My"},
    {0x800, Opening::currentUser, nullptr, L"AddressBook"},
    {0x100000, Opening::currentUser, nullptr, L"Request"},
    {0x400000, Opening::storeFile, nullptr, nullptr},
};

constexpr std::uint32_t kAllSources = [] {
  std::uint32_t all = 0;
  for (const Source& source : kSources) all |= source.bit;
  return all;
}();

StoreList* newStoreList(const char* operation) {
  auto* list = static_cast<StoreList*>(std::calloc(1, sizeof(StoreList)));
  if (list == nullptr) TVCAPI_REPORT_NO_MEMORY("TVXCAPI", operation);
  return list;
}

// The store file's path: GetTempPathA's folder followed by "tvys.st", in UTF-16 (wide) form.
// Null when the memory for it can't be had.
wchar_t* storeFilePath() {
  char folder[260] = {};
  const DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length >= sizeof folder) return nullptr;
  char path[260 + 8];
  std::strcpy(path, folder);
  std::strcat(path, "tvys.st");
  const int wide = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  if (wide <= 0) return nullptr;
  auto* out = static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * static_cast<std::size_t>(wide)));
  if (out == nullptr) return nullptr;
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, out, wide) != wide) {
    std::free(out);
    return nullptr;
  }
  return out;
}

HCERTSTORE openStoreFile() {
  wchar_t* path = storeFilePath();
  if (path == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);  // skipped like a missing file
    return nullptr;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_FILENAME_W, 0, 0, 0, path);
  const DWORD error = GetLastError();
  std::free(path);
  SetLastError(error);
  return store;
}

HCERTSTORE openSource(const Source& source, DWORD access) {
  switch (source.how) {
    case Opening::system:
      return CertOpenSystemStoreA(0, source.name);
    case Opening::localMachine:
      return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE | access,
                           source.wideName);
    case Opening::currentUser:
      return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | access,
                           source.wideName);
    case Opening::storeFile:
      return openStoreFile();
  }
  return nullptr;
}

std::int32_t wrapList(TVCAPIHandle** out, StoreList* list) {
  const std::int32_t code = tvxCAPICreateHandle(out, TVCAPI_STORE_LIST, list, nullptr, nullptr);
  if (code != TVCAPI_OK) tvxCAPIReleaseStoreList(list);
  return code;
}

}  // namespace

extern "C" int32_t TVXCAPI_LoadStore(TVCAPIHandle** out, uint32_t sources, uint32_t options) {
  if (out == nullptr || sources == 0) return TVCAPI_BAD_ARGUMENT;
  // The list has nine slots: more sources would write past it.
  if (std::popcount(sources & kAllSources) > static_cast<int>(kStoreListSlots))
    return TVCAPI_BAD_ARGUMENT;
  StoreList* list = newStoreList("TVXCAPI_LoadStore");
  if (list == nullptr) return TVCAPI_NO_MEMORY;
  const DWORD access = (options & TVCAPI_OPEN_WRITABLE) != 0 ? 0 : CERT_STORE_READONLY_FLAG;
  for (const Source& source : kSources) {
    if ((sources & source.bit) == 0) continue;
    HCERTSTORE store = openSource(source, access);
    if (store == nullptr) {
      const DWORD error = GetLastError();
      if (source.how == Opening::storeFile && error == ERROR_FILE_NOT_FOUND) continue;
      tvxCAPIReleaseStoreList(list);
      return error == ERROR_ACCESS_DENIED ? TVCAPI_STORE_ACCESS_DENIED : TVCAPI_FAILED;
    }
    list->stores[list->count++] = store;
  }
  return wrapList(out, list);
}

extern "C" int32_t TVXCAPI_LoadStoreFromStoreFile(TVCAPIHandle** out) {
  if (out == nullptr) return TVCAPI_BAD_ARGUMENT;
  StoreList* list = newStoreList("TVXCAPI_LoadStoreFromStoreFile");
  if (list == nullptr) return TVCAPI_NO_MEMORY;
  HCERTSTORE store = openStoreFile();
  if (store == nullptr) {
    tvxCAPIReleaseStoreList(list);
    return TVCAPI_NOT_FOUND;
  }
  list->stores[list->count++] = store;
  return wrapList(out, list);
}
