// Provider contexts: the built-in software provider and the providers of the provider file,
// with CryptoAPI's key-set flags and error codes.
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/linux/cryptoapi/providers/key_store.h"
#include "platform/linux/cryptoapi/providers/provider_config.h"
#include "platform/linux/cryptoapi/providers/records.h"
#include "platform/linux/cryptoapi/providers/token_provider.h"

using namespace kestrune::cryptoapi;

namespace {

constexpr DWORD kKnownFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                              CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
constexpr DWORD kProviderSpecificParam = 0x4253;
constexpr std::size_t kMaxContainerName = 260;
constexpr DWORD kMaxProvType = 999;

bool isSoftwareProvider(const char* name) {
  return name == nullptr || std::strcmp(name, MS_ENHANCED_PROV_A) == 0 ||
         std::strcmp(name, MS_DEF_PROV_A) == 0;
}

// Windows names the default container after the user.
std::string defaultContainer() {
  const char* user = std::getenv("USER");
  return user != nullptr && *user != '\0' ? user : "default";
}

BOOL acquireSoftware(HCRYPTPROV* prov, std::string container, const char* name, DWORD flags) {
  bool verify = (flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
  bool machine = (flags & CRYPT_MACHINE_KEYSET) != 0;
  auto record = std::make_unique<ProviderRecord>();
  record->providerName = name != nullptr ? name : MS_DEF_PROV_A;
  record->verifyContext = verify;
  record->machine = machine;
  if (verify) {
    *prov = registerProvider(std::move(record));
    return TRUE;
  }
  std::string folder = keyFolder(machine, (flags & CRYPT_NEWKEYSET) != 0);
  if (folder.empty())
    return fail((flags & CRYPT_NEWKEYSET) != 0 ? ERROR_ACCESS_DENIED : NTE_BAD_KEYSET);
  if ((flags & CRYPT_DELETEKEYSET) != 0) {
    if (!deleteContainer(folder, container)) return FALSE;
    *prov = 0;
    return TRUE;
  }
  if ((flags & CRYPT_NEWKEYSET) != 0) {
    if (!createContainer(folder, container)) return FALSE;
  } else if (!loadContainer(folder, container, record->exchange, record->signature)) {
    return FALSE;
  }
  record->container = std::move(container);
  record->keyDir = std::move(folder);
  *prov = registerProvider(std::move(record));
  return TRUE;
}

}  // namespace

BOOL CryptAcquireContextA(HCRYPTPROV* prov, LPCSTR container, LPCSTR provider, DWORD provType,
                          DWORD flags) {
  if (prov == nullptr) return fail(ERROR_INVALID_PARAMETER);
  *prov = 0;
  if ((flags & ~kKnownFlags) != 0) return fail(NTE_BAD_FLAGS);
  // Provider types run from 1 to 999; one outside is refused before any provider is looked at.
  if (provType < 1 || provType > kMaxProvType) return fail(kNteBadProvType);
  // Every provider here is of type PROV_RSA_FULL. Without a name, another type is one that no
  // provider has; a provider named with another type is found and doesn't match it. An unknown
  // name fails before its type is looked at, as the name is looked up first.
  std::optional<ProviderEntry> entry;
  if (provider == nullptr) {
    if (provType != PROV_RSA_FULL) return fail(kNteProvTypeNotDef);
  } else if (!isSoftwareProvider(provider)) {
    entry = lookUpProvider(std::string_view(provider, strnlen(provider, 4096)));
    if (!entry) return fail(NTE_KEYSET_NOT_DEF);
  }
  if (provType != PROV_RSA_FULL) return fail(NTE_PROV_TYPE_NO_MATCH);
  std::string name;
  if (container != nullptr && (flags & CRYPT_VERIFYCONTEXT) != CRYPT_VERIFYCONTEXT) {
    name.assign(container, strnlen(container, kMaxContainerName + 1));
    if (name.size() > kMaxContainerName) return fail(NTE_BAD_KEYSET_PARAM);
  }
  if (name.empty()) name = defaultContainer();
  if (!entry) return acquireSoftware(prov, std::move(name), provider, flags);
  return acquireTokenProvider(prov, *entry, provider, container == nullptr ? std::string() : name,
                              flags);
}

BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags) {
  if (!unregisterProvider(prov)) return fail(NTE_BAD_UID);
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  return TRUE;
}

BOOL CryptGetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
  ProviderRecord* record = findProvider(prov);
  if (record == nullptr) return fail(NTE_BAD_UID);
  if (length == nullptr) return fail(ERROR_INVALID_PARAMETER);
  auto text = [&](const std::string& value) {
    return copyOut(reinterpret_cast<const std::uint8_t*>(value.c_str()), value.size() + 1, data,
                   length);
  };
  switch (param) {
    case PP_NAME:
      return text(record->providerName);
    case PP_CONTAINER:
      if (record->verifyContext) return fail(NTE_BAD_KEYSET);
      return text(record->container);
    case PP_ENUMCONTAINERS: {
      if ((flags & CRYPT_FIRST) != 0) {
        record->enumerated = record->token ? tokenContainers(*record->token)
                                           : listContainers(keyFolder(record->machine, false));
        record->enumPosition = 0;
      }
      if (record->enumPosition >= record->enumerated.size()) return fail(ERROR_NO_MORE_ITEMS);
      // The entry is consumed only once it has been handed out.
      if (!text(record->enumerated[record->enumPosition])) return FALSE;
      if (data != nullptr) ++record->enumPosition;
      return TRUE;
    }
    default:
      return fail(NTE_BAD_TYPE);
  }
}

BOOL CryptSetProvParam(HCRYPTPROV prov, DWORD param, const BYTE* /*data*/, DWORD flags) {
  if (findProvider(prov) == nullptr) return fail(NTE_BAD_UID);
  // The hold that brackets a signing session and the key set's security descriptor mean
  // nothing to these providers: both are accepted and have no effect.
  if (param == kProviderSpecificParam && (flags == 0x80000001 || flags == 0x80000002)) return TRUE;
  if (param == PP_KEYSET_SEC_DESCR) return TRUE;
  return fail(NTE_BAD_TYPE);
}
