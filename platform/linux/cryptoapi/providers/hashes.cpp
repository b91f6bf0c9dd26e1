// Hash objects: SHA-1 and MD5 on OpenSSL's digests. A hash is finished once its value has
// been read or set; after that it takes no more data, as CryptoAPI's hashes.
#include <openssl/evp.h>

#include "platform/linux/cryptoapi/providers/records.h"

using namespace kestrune;
using namespace kestrune::cryptoapi;

namespace {

const EVP_MD* digestOf(ALG_ID algorithm) {
  if (algorithm == CALG_SHA1) return EVP_sha1();
  if (algorithm == CALG_MD5) return EVP_md5();
  return nullptr;
}

bool finish(HashRecord& hash) {
  if (hash.finished) return true;
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(hash.context.get(), value, &size) != 1) return false;
  hash.value.assign(value, value + size);
  hash.finished = true;
  return true;
}

}  // namespace

BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                     HCRYPTHASH* hash) {
  ProviderRecord* provider = findProvider(prov);
  if (provider == nullptr) return fail(NTE_BAD_UID);
  if (hash == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  if (key != 0) return fail(NTE_BAD_KEY);  // keyed hashes (HMAC, MAC) aren't offered
  const EVP_MD* md = digestOf(algorithm);
  if (md == nullptr) return fail(NTE_BAD_ALGID);
  auto record = std::make_unique<HashRecord>();
  record->provider = provider;
  record->algorithm = algorithm;
  record->context.reset(EVP_MD_CTX_new());
  if (!record->context || EVP_DigestInit_ex(record->context.get(), md, nullptr) != 1)
    return fail(NTE_NO_MEMORY);
  *hash = registerHash(std::move(record));
  return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags) {
  HashRecord* record = findHash(hash);
  if (record == nullptr) return fail(NTE_BAD_HASH);
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  if (data == nullptr && length != 0) return fail(ERROR_INVALID_PARAMETER);
  if (record->finished) return fail(NTE_BAD_HASH_STATE);
  if (length != 0 && EVP_DigestUpdate(record->context.get(), data, length) != 1)
    return fail(NTE_FAIL);
  return TRUE;
}

BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
  HashRecord* record = findHash(hash);
  if (record == nullptr) return fail(NTE_BAD_HASH);
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  if (length == nullptr) return fail(ERROR_INVALID_PARAMETER);
  std::uint8_t word[4];
  auto asDword = [&](DWORD v) {
    for (int i = 0; i < 4; ++i) word[i] = static_cast<std::uint8_t>(v >> (8 * i));
    return copyOut(word, 4, data, length);
  };
  switch (param) {
    case HP_ALGID:
      return asDword(record->algorithm);
    case HP_HASHSIZE:
      return asDword(
          static_cast<DWORD>(EVP_MD_get_size(EVP_MD_CTX_get0_md(record->context.get()))));
    case HP_HASHVAL:
      if (data != nullptr && !finish(*record)) return fail(NTE_FAIL);
      if (data == nullptr && !record->finished) {
        *length = static_cast<DWORD>(EVP_MD_get_size(EVP_MD_CTX_get0_md(record->context.get())));
        return TRUE;
      }
      return copyOut(record->value.data(), record->value.size(), data, length);
    default:
      return fail(NTE_BAD_TYPE);
  }
}

BOOL CryptSetHashParam(HCRYPTHASH hash, DWORD param, const BYTE* data, DWORD flags) {
  HashRecord* record = findHash(hash);
  if (record == nullptr) return fail(NTE_BAD_HASH);
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  if (param != HP_HASHVAL) return fail(NTE_BAD_TYPE);
  if (data == nullptr) return fail(ERROR_INVALID_PARAMETER);
  // The value's length is the algorithm's: CryptoAPI reads exactly that many bytes.
  auto size = static_cast<std::size_t>(EVP_MD_get_size(EVP_MD_CTX_get0_md(record->context.get())));
  record->value.assign(data, data + size);
  record->finished = true;
  return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hash) {
  if (!destroyHash(hash)) return fail(NTE_BAD_HASH);
  return TRUE;
}

namespace kestrune::cryptoapi {
// The finished value of a hash, for signing and verifying.
bool hashValue(HashRecord& hash, Bytes& value) {
  if (!finish(hash)) return false;
  value = hash.value;
  return true;
}
}  // namespace kestrune::cryptoapi
