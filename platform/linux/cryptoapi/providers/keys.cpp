// Key objects: generation, the container's keys, parameters, and key blobs in and out.
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "platform/linux/cryptoapi/providers/key_blob.h"
#include "platform/linux/cryptoapi/providers/key_store.h"
#include "platform/linux/cryptoapi/providers/records.h"
#include "platform/linux/cryptoapi/providers/token_provider.h"

using namespace kestrune;
using namespace kestrune::cryptoapi;

namespace {

constexpr DWORD kDefaultBits = 1024;
constexpr DWORD kMinBits = 384;
constexpr DWORD kMaxBits = 16384;

HeldKey& heldKey(ProviderRecord& provider, DWORD keySpec) {
  return keySpec == AT_SIGNATURE ? provider.signature : provider.exchange;
}

ALG_ID algorithmOf(DWORD keySpec) {
  return keySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
}

bool persist(ProviderRecord& provider) {
  if (provider.verifyContext || provider.token) return true;
  return saveContainer(provider.keyDir, provider.container, provider.exchange, provider.signature);
}

HCRYPTKEY newKey(ProviderRecord& provider, DWORD keySpec, const HeldKey& held, bool hasPrivate) {
  auto record = std::make_unique<KeyRecord>();
  record->provider = &provider;
  record->keySpec = keySpec;
  record->algorithm = algorithmOf(keySpec);
  record->key = held;
  record->hasPrivate = hasPrivate;
  return registerKey(std::move(record));
}

}  // namespace

BOOL CryptGenKey(HCRYPTPROV prov, ALG_ID algorithm, DWORD flags, HCRYPTKEY* key) {
  ProviderRecord* provider = findProvider(prov);
  if (provider == nullptr) return fail(NTE_BAD_UID);
  if (key == nullptr) return fail(ERROR_INVALID_PARAMETER);
  DWORD keySpec = algorithm == AT_SIGNATURE || algorithm == CALG_RSA_SIGN     ? AT_SIGNATURE
                  : algorithm == AT_KEYEXCHANGE || algorithm == CALG_RSA_KEYX ? AT_KEYEXCHANGE
                                                                              : 0;
  if (keySpec == 0) return fail(NTE_BAD_ALGID);
  if (provider->token) return fail(NTE_PERM);  // keys are made on the card by its issuer
  DWORD bits = flags >> 16;
  if (bits == 0) bits = kDefaultBits;
  if (bits < kMinBits || bits > kMaxBits || bits % 8 != 0 || (flags & 0xFFFF & ~CRYPT_EXPORTABLE))
    return fail(NTE_BAD_FLAGS);
  Ptr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* pkey = nullptr;
  if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), static_cast<int>(bits)) != 1 ||
      EVP_PKEY_keygen(context.get(), &pkey) != 1)
    return fail(NTE_FAIL);
  HeldKey held{std::shared_ptr<EVP_PKEY>(pkey, EVP_PKEY_free), (flags & CRYPT_EXPORTABLE) != 0, 0};
  HeldKey previous = heldKey(*provider, keySpec);
  heldKey(*provider, keySpec) = held;
  if (!persist(*provider)) {
    heldKey(*provider, keySpec) = previous;
    return FALSE;
  }
  *key = newKey(*provider, keySpec, held, true);
  return TRUE;
}

BOOL CryptGetUserKey(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* key) {
  ProviderRecord* provider = findProvider(prov);
  if (provider == nullptr) return fail(NTE_BAD_UID);
  if (key == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (keySpec != AT_SIGNATURE && keySpec != AT_KEYEXCHANGE) return fail(NTE_NO_KEY);
  const HeldKey& held = heldKey(*provider, keySpec);
  if (!held.pkey) return fail(NTE_NO_KEY);
  *key = newKey(*provider, keySpec, held, true);
  return TRUE;
}

BOOL CryptDestroyKey(HCRYPTKEY key) {
  if (!destroyKey(key)) return fail(NTE_BAD_KEY);
  return TRUE;
}

BOOL CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
  KeyRecord* record = findKey(key);
  if (record == nullptr) return fail(NTE_BAD_KEY);
  if (length == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  std::uint8_t word[4];
  auto asDword = [&](DWORD v) {
    for (int i = 0; i < 4; ++i) word[i] = static_cast<std::uint8_t>(v >> (8 * i));
    return copyOut(word, 4, data, length);
  };
  switch (param) {
    case KP_KEYLEN:
      return asDword(static_cast<DWORD>(EVP_PKEY_get_bits(record->key.pkey.get())));
    case KP_ALGID:
      return asDword(record->algorithm);
    case KP_CERTIFICATE: {
      if (!record->provider->token) return fail(NTE_BAD_TYPE);
      Bytes der;
      if (!tokenCertificate(*record->provider->token, der)) return FALSE;
      return copyOut(der.data(), der.size(), data, length);
    }
    default:
      return fail(NTE_BAD_TYPE);
  }
}

BOOL CryptSetKeyParam(HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags) {
  KeyRecord* record = findKey(key);
  if (record == nullptr) return fail(NTE_BAD_KEY);
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  if ((param == KP_SIGNATURE_PIN || param == KP_KEYEXCHANGE_PIN) && record->provider->token) {
    if (!tokenLogin(*record->provider, data)) return FALSE;
    // The login may have found the container's pair anew.
    if (const HeldKey& held = heldKey(*record->provider, record->keySpec); held.pkey)
      record->key = held;
    return TRUE;
  }
  // The software provider has no PIN, and refuses the PIN parameters as rsaenh does.
  return fail(NTE_BAD_TYPE);
}

BOOL CryptExportKey(HCRYPTKEY key, HCRYPTKEY exportKey, DWORD blobType, DWORD flags, BYTE* data,
                    DWORD* length) {
  KeyRecord* record = findKey(key);
  if (record == nullptr) return fail(NTE_BAD_KEY);
  if (length == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (exportKey != 0) return fail(NTE_BAD_KEY);  // wrapping under a session key isn't offered
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  if (blobType != PUBLICKEYBLOB && blobType != PRIVATEKEYBLOB) return fail(NTE_BAD_TYPE);
  bool privateBlob = blobType == PRIVATEKEYBLOB;
  if (privateBlob && (!record->hasPrivate || !record->key.exportable || record->key.tokenKey != 0))
    return fail(kNteBadKeyState);
  Bytes blob = exportKeyBlob(record->key.pkey.get(), record->algorithm, privateBlob);
  if (blob.empty()) return fail(NTE_BAD_KEY);
  BOOL ok = copyOut(blob.data(), blob.size(), data, length);
  OPENSSL_cleanse(blob.data(), blob.size());
  return ok;
}

BOOL CryptImportKey(HCRYPTPROV prov, const BYTE* data, DWORD length, HCRYPTKEY publicKey,
                    DWORD flags, HCRYPTKEY* key) {
  ProviderRecord* provider = findProvider(prov);
  if (provider == nullptr) return fail(NTE_BAD_UID);
  if (data == nullptr || key == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (publicKey != 0) return fail(NTE_BAD_KEY);
  if ((flags & ~CRYPT_EXPORTABLE) != 0) return fail(NTE_BAD_FLAGS);
  ImportedKey imported;
  if (!importKeyBlob({data, length}, imported)) return FALSE;
  HeldKey held{std::shared_ptr<EVP_PKEY>(imported.pkey.release(), EVP_PKEY_free),
               (flags & CRYPT_EXPORTABLE) != 0, 0};
  DWORD keySpec = imported.algorithm == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE;
  if (imported.isPrivate) {
    if (provider->token) return fail(NTE_PERM);
    // A private key becomes the container's key of its kind, as on Windows.
    HeldKey previous = heldKey(*provider, keySpec);
    heldKey(*provider, keySpec) = held;
    if (!persist(*provider)) {
      heldKey(*provider, keySpec) = previous;
      return FALSE;
    }
  }
  *key = newKey(*provider, keySpec, held, imported.isPrivate);
  findKey(*key)->algorithm = imported.algorithm;
  return TRUE;
}
