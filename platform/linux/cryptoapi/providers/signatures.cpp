// Signatures and RSA PKCS#1 v1.5 encryption. CryptoAPI keeps signatures and ciphertexts least
// significant byte first, so every result is reversed on the way out and every input on the
// way in.
#include <algorithm>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "platform/linux/cryptoapi/providers/records.h"
#include "platform/linux/cryptoapi/providers/token_provider.h"

using namespace kestrune;
using namespace kestrune::cryptoapi;

namespace kestrune::cryptoapi {
bool hashValue(HashRecord& hash, Bytes& value);
}

namespace {

// The DER DigestInfo of a hash value: what PKCS#1 v1.5 signs unless CRYPT_NOHASHOID.
Bytes digestInfo(ALG_ID algorithm, const Bytes& value) {
  static const std::uint8_t kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                             0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
  static const std::uint8_t kMd5Prefix[] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                            0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
  Bytes info = algorithm == CALG_MD5 ? Bytes(std::begin(kMd5Prefix), std::end(kMd5Prefix))
                                     : Bytes(std::begin(kSha1Prefix), std::end(kSha1Prefix));
  info.insert(info.end(), value.begin(), value.end());
  return info;
}

Ptr<EVP_PKEY_CTX> rsaContext(EVP_PKEY* pkey) {
  return Ptr<EVP_PKEY_CTX>(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
}

}  // namespace

BOOL CryptSignHashA(HCRYPTHASH hash, DWORD keySpec, LPCSTR /*description*/, DWORD flags,
                    BYTE* signature, DWORD* length) {
  HashRecord* record = findHash(hash);
  if (record == nullptr) return fail(NTE_BAD_HASH);
  if (length == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if ((flags & ~CRYPT_NOHASHOID) != 0) return fail(NTE_BAD_FLAGS);
  ProviderRecord& provider = *record->provider;
  const HeldKey* held = keySpec == AT_SIGNATURE     ? &provider.signature
                        : keySpec == AT_KEYEXCHANGE ? &provider.exchange
                                                    : nullptr;
  if (held == nullptr || !held->pkey) return fail(NTE_NO_KEY);
  std::size_t size = modulusBytes(held->pkey.get());
  if (signature == nullptr || *length < size) {
    *length = static_cast<DWORD>(size);
    return signature == nullptr ? TRUE : fail(ERROR_MORE_DATA);
  }
  Bytes value;
  if (!hashValue(*record, value)) return fail(NTE_BAD_HASH);
  Bytes input = (flags & CRYPT_NOHASHOID) != 0 ? value : digestInfo(record->algorithm, value);
  Bytes output;
  if (provider.token) {
    if (!tokenPrivateOperation(*provider.token, held->tokenKey, true, input, output)) return FALSE;
  } else {
    auto context = rsaContext(held->pkey.get());
    std::size_t outSize = size;
    output.resize(size);
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(context.get(), output.data(), &outSize, input.data(), input.size()) != 1)
      return fail(NTE_FAIL);
    output.resize(outSize);
  }
  if (output.size() != size) return fail(NTE_FAIL);
  std::reverse_copy(output.begin(), output.end(), signature);
  *length = static_cast<DWORD>(size);
  return TRUE;
}

BOOL CryptVerifySignatureA(HCRYPTHASH hash, const BYTE* signature, DWORD length,
                           HCRYPTKEY publicKey, LPCSTR /*description*/, DWORD flags) {
  HashRecord* record = findHash(hash);
  if (record == nullptr) return fail(NTE_BAD_HASH);
  KeyRecord* key = findKey(publicKey);
  if (key == nullptr) return fail(NTE_BAD_KEY);
  if (signature == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if ((flags & ~CRYPT_NOHASHOID) != 0) return fail(NTE_BAD_FLAGS);
  std::size_t size = modulusBytes(key->key.pkey.get());
  if (length != size) return fail(NTE_BAD_SIGNATURE);
  Bytes value;
  if (!hashValue(*record, value)) return fail(NTE_BAD_HASH);
  // Without CRYPT_NOHASHOID the signature must carry the algorithm's identifier, so a bare
  // hash signature is refused.
  Bytes expected = (flags & CRYPT_NOHASHOID) != 0 ? value : digestInfo(record->algorithm, value);
  Bytes bigEndian(signature, signature + length);
  std::reverse(bigEndian.begin(), bigEndian.end());
  auto context = rsaContext(key->key.pkey.get());
  Bytes recovered(size);
  std::size_t recoveredSize = size;
  if (!context || EVP_PKEY_verify_recover_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_verify_recover(context.get(), recovered.data(), &recoveredSize, bigEndian.data(),
                              bigEndian.size()) != 1)
    return fail(NTE_BAD_SIGNATURE);
  recovered.resize(recoveredSize);
  if (recovered != expected) return fail(NTE_BAD_SIGNATURE);
  return TRUE;
}

BOOL CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL /*final*/, DWORD flags, BYTE* data,
                  DWORD* length, DWORD bufferLength) {
  KeyRecord* record = findKey(key);
  if (record == nullptr) return fail(NTE_BAD_KEY);
  if (hash != 0) return fail(NTE_BAD_HASH);
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  if (length == nullptr) return fail(ERROR_INVALID_PARAMETER);
  std::size_t size = modulusBytes(record->key.pkey.get());
  if (*length > size - 11) return fail(NTE_BAD_LEN);
  if (data == nullptr || bufferLength < size) {
    *length = static_cast<DWORD>(size);
    return data == nullptr ? TRUE : fail(ERROR_MORE_DATA);
  }
  auto context = rsaContext(record->key.pkey.get());
  Bytes output(size);
  std::size_t outSize = size;
  if (!context || EVP_PKEY_encrypt_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_encrypt(context.get(), output.data(), &outSize, data, *length) != 1 ||
      outSize != size)
    return fail(NTE_FAIL);
  std::reverse_copy(output.begin(), output.end(), data);
  *length = static_cast<DWORD>(size);
  return TRUE;
}

BOOL CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL /*final*/, DWORD flags, BYTE* data,
                  DWORD* length) {
  KeyRecord* record = findKey(key);
  if (record == nullptr) return fail(NTE_BAD_KEY);
  if (hash != 0) return fail(NTE_BAD_HASH);
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  if (data == nullptr || length == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (!record->hasPrivate) return fail(NTE_BAD_KEY);
  std::size_t size = modulusBytes(record->key.pkey.get());
  if (*length != size) return fail(NTE_BAD_LEN);
  Bytes input(data, data + size);
  std::reverse(input.begin(), input.end());
  Bytes output;
  ProviderRecord& provider = *record->provider;
  if (record->key.tokenKey != 0 && provider.token) {
    if (!tokenPrivateOperation(*provider.token, record->key.tokenKey, false, input, output))
      return FALSE;
  } else {
    auto context = rsaContext(record->key.pkey.get());
    output.resize(size);
    std::size_t outSize = size;
    if (!context || EVP_PKEY_decrypt_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_decrypt(context.get(), output.data(), &outSize, input.data(), input.size()) != 1)
      return fail(NTE_BAD_DATA);
    output.resize(outSize);
  }
  std::copy(output.begin(), output.end(), data);
  *length = static_cast<DWORD>(output.size());
  OPENSSL_cleanse(output.data(), output.size());
  return TRUE;
}
