// The private records behind HCRYPTPROV, HCRYPTKEY and HCRYPTHASH, and the handle registry
// that tells a live handle from a stale or forged one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/ptr.h"
#include "platform/cryptoapi.h"

namespace kestrune::cryptoapi {

using Bytes = std::vector<std::uint8_t>;

// Codes wincrypt has and the shared header doesn't declare.
inline constexpr DWORD kNteBadKeyState = 0x8009000B;  // NTE_BAD_KEY_STATE
inline constexpr DWORD kNteProvTypeNotDef = NTE_PROV_TYPE_NOT_DEF;
inline constexpr DWORD kNteBadProvType = 0x80090014;  // NTE_BAD_PROV_TYPE
inline constexpr DWORD kNteBadVersion = 0x80090007;   // NTE_BAD_VERSION

class TokenContainer;  // a PKCS#11-backed container (token_provider.h)

// One of a container's key pairs as the provider holds it: an OpenSSL key for the software
// provider, a token key for a PKCS#11-backed one.
struct HeldKey {
  std::shared_ptr<EVP_PKEY> pkey;  // software, or the token key's public half
  bool exportable = false;
  std::uint64_t tokenKey = 0;  // CK_OBJECT_HANDLE of the private key on the token; 0 for software
};

struct ProviderRecord {
  std::string providerName;
  std::string container;
  bool verifyContext = false;
  bool machine = false;
  std::string keyDir;                     // the software provider's container folder
  HeldKey exchange;                       // AT_KEYEXCHANGE
  HeldKey signature;                      // AT_SIGNATURE
  std::shared_ptr<TokenContainer> token;  // set for a PKCS#11-backed provider
  // Enumeration of containers (PP_ENUMCONTAINERS): a snapshot taken at CRYPT_FIRST.
  std::vector<std::string> enumerated;
  std::size_t enumPosition = 0;
  int references = 1;  // the context itself, plus every key and hash made from it
};

struct KeyRecord {
  ProviderRecord* provider = nullptr;
  DWORD keySpec = 0;  // AT_KEYEXCHANGE, AT_SIGNATURE, or 0 for an imported public key
  ALG_ID algorithm = CALG_RSA_KEYX;
  HeldKey key;
  bool hasPrivate = false;
};

struct HashRecord {
  ProviderRecord* provider = nullptr;
  ALG_ID algorithm = 0;
  Ptr<EVP_MD_CTX> context;
  Bytes value;  // the final value, once read or set
  bool finished = false;
};

// Registry: a handle is valid only while its record is registered.
HCRYPTPROV registerProvider(std::unique_ptr<ProviderRecord> record);
ProviderRecord* findProvider(HCRYPTPROV handle);
bool unregisterProvider(HCRYPTPROV handle);  // drops the context's own reference
HCRYPTKEY registerKey(std::unique_ptr<KeyRecord> record);
KeyRecord* findKey(HCRYPTKEY handle);
bool destroyKey(HCRYPTKEY handle);
HCRYPTHASH registerHash(std::unique_ptr<HashRecord> record);
HashRecord* findHash(HCRYPTHASH handle);
bool destroyHash(HCRYPTHASH handle);

// The reference a key or hash keeps on its provider, taken and given back.
void retainProvider(ProviderRecord* provider);
void releaseProvider(ProviderRecord* provider);

// Size-first output as CryptoAPI does it: a null buffer gets the size, a small one
// ERROR_MORE_DATA with the size, else the bytes. Sets the last error on failure.
BOOL copyOut(const std::uint8_t* bytes, std::size_t size, BYTE* data, DWORD* length);
BOOL fail(DWORD error);

// The key's modulus size in bytes (0 when unreadable).
std::size_t modulusBytes(const EVP_PKEY* pkey);

}  // namespace kestrune::cryptoapi
