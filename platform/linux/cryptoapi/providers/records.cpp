// The handle registry: records live on the heap, handles are their addresses, and only a
// registered address is accepted, so a stale or forged handle is refused rather than used.
#include "platform/linux/cryptoapi/providers/records.h"

#include <map>
#include <mutex>

#include <openssl/evp.h>

namespace kestrune::cryptoapi {
namespace {

struct Registry {
  std::mutex lock;
  std::map<ULONG_PTR, std::unique_ptr<ProviderRecord>> providers;  // includes released contexts
  std::map<ULONG_PTR, bool> liveContexts;                          // contexts not yet released
  std::map<ULONG_PTR, std::unique_ptr<KeyRecord>> keys;
  std::map<ULONG_PTR, std::unique_ptr<HashRecord>> hashes;
};

// Never destroyed: a context the program didn't release stays open at exit, as on Windows.
// Closing it from a static destructor would call into a PKCS#11 module whose own statics
// (the module was loaded after this registry was made) are already gone.
Registry& registry = *new Registry;
std::mutex& registryLock = registry.lock;
auto& providers = registry.providers;
auto& liveContexts = registry.liveContexts;
auto& keys = registry.keys;
auto& hashes = registry.hashes;

void dropReference(ProviderRecord* provider) {
  if (--provider->references == 0) providers.erase(reinterpret_cast<ULONG_PTR>(provider));
}

}  // namespace

HCRYPTPROV registerProvider(std::unique_ptr<ProviderRecord> record) {
  std::lock_guard lock(registryLock);
  auto handle = reinterpret_cast<ULONG_PTR>(record.get());
  providers.emplace(handle, std::move(record));
  liveContexts.emplace(handle, true);
  return handle;
}

ProviderRecord* findProvider(HCRYPTPROV handle) {
  std::lock_guard lock(registryLock);
  if (!liveContexts.contains(handle)) return nullptr;
  return providers.at(handle).get();
}

bool unregisterProvider(HCRYPTPROV handle) {
  std::lock_guard lock(registryLock);
  if (liveContexts.erase(handle) == 0) return false;
  dropReference(providers.at(handle).get());
  return true;
}

void retainProvider(ProviderRecord* provider) {
  std::lock_guard lock(registryLock);
  ++provider->references;
}

void releaseProvider(ProviderRecord* provider) {
  std::lock_guard lock(registryLock);
  dropReference(provider);
}

HCRYPTKEY registerKey(std::unique_ptr<KeyRecord> record) {
  retainProvider(record->provider);
  std::lock_guard lock(registryLock);
  auto handle = reinterpret_cast<ULONG_PTR>(record.get());
  keys.emplace(handle, std::move(record));
  return handle;
}

KeyRecord* findKey(HCRYPTKEY handle) {
  std::lock_guard lock(registryLock);
  auto it = keys.find(handle);
  return it == keys.end() ? nullptr : it->second.get();
}

bool destroyKey(HCRYPTKEY handle) {
  std::lock_guard lock(registryLock);
  auto it = keys.find(handle);
  if (it == keys.end()) return false;
  ProviderRecord* provider = it->second->provider;
  keys.erase(it);
  dropReference(provider);
  return true;
}

HCRYPTHASH registerHash(std::unique_ptr<HashRecord> record) {
  retainProvider(record->provider);
  std::lock_guard lock(registryLock);
  auto handle = reinterpret_cast<ULONG_PTR>(record.get());
  hashes.emplace(handle, std::move(record));
  return handle;
}

HashRecord* findHash(HCRYPTHASH handle) {
  std::lock_guard lock(registryLock);
  auto it = hashes.find(handle);
  return it == hashes.end() ? nullptr : it->second.get();
}

bool destroyHash(HCRYPTHASH handle) {
  std::lock_guard lock(registryLock);
  auto it = hashes.find(handle);
  if (it == hashes.end()) return false;
  ProviderRecord* provider = it->second->provider;
  hashes.erase(it);
  dropReference(provider);
  return true;
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL copyOut(const std::uint8_t* bytes, std::size_t size, BYTE* data, DWORD* length) {
  if (length == nullptr) return fail(ERROR_INVALID_PARAMETER);
  DWORD capacity = *length;
  *length = static_cast<DWORD>(size);
  if (data == nullptr) return TRUE;
  if (capacity < size) return fail(ERROR_MORE_DATA);
  std::copy(bytes, bytes + size, data);
  return TRUE;
}

std::size_t modulusBytes(const EVP_PKEY* pkey) {
  if (pkey == nullptr) return 0;
  int bits = EVP_PKEY_get_bits(pkey);
  return bits > 0 ? static_cast<std::size_t>(bits + 7) / 8 : 0;
}

}  // namespace kestrune::cryptoapi
