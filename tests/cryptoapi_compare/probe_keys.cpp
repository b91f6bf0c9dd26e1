// The software provider: a fixed RSA key imported from its blobs, exported again, and used to
// sign (PKCS#1 v1.5 is deterministic, so the signatures must match byte for byte), verify,
// encrypt and decrypt; and hashes over fixed input.
#include <cstring>

#include "tests/cryptoapi_compare/probe.h"

namespace probe {
namespace {

const BYTE kData[] = {'p', 'r', 'o', 'b', 'e', ' ', 'd', 'a', 't', 'a'};
// SHA-1 of kData.
const BYTE kDataSha1[20] = {0xbd, 0x8a, 0xcc, 0xfe, 0x9c, 0x11, 0x80, 0x6c, 0x98, 0x7f,
                            0x4f, 0x54, 0x17, 0xce, 0xab, 0xac, 0xbd, 0xcf, 0x13, 0x9c};

struct Hash {
  const char* label;
  ALG_ID algorithm;
};
constexpr Hash kHashes[] = {{"sha1", CALG_SHA1}, {"md5", CALG_MD5}};

std::string keyParam(HCRYPTKEY key, DWORD param) {
  BYTE value[4] = {};
  DWORD length = sizeof value;
  if (!CryptGetKeyParam(key, param, value, &length, 0)) return outcome(FALSE);
  return std::to_string(length) + ":" + hex(value, length);
}

// exported returns the blob, or an empty one and the failure in `text`.
Bytes exported(HCRYPTKEY key, BYTE type, std::string& text) {
  DWORD length = 0;
  Bytes blob;
  if (!CryptExportKey(key, 0, type, 0, nullptr, &length)) {
    text = "size:" + outcome(FALSE);
    return blob;
  }
  blob.resize(length);
  if (!CryptExportKey(key, 0, type, 0, blob.data(), &length)) {
    text = outcome(FALSE);
    return {};
  }
  blob.resize(length);
  text = hex(blob);
  return blob;
}

HashHandle hashOfData(HCRYPTPROV prov, ALG_ID algorithm) {
  HashHandle hash;
  if (CryptCreateHash(prov, algorithm, 0, 0, hash.put()) &&
      !CryptHashData(hash.get(), kData, sizeof kData, 0))
    hash.reset();
  return hash;
}

// signature signs the hash of kData with the key of `keySpec`; the text is the signature's hex
// or the failure.
Bytes signature(HCRYPTPROV prov, ALG_ID algorithm, DWORD keySpec, DWORD flags, std::string& text) {
  HashHandle hash = hashOfData(prov, algorithm);
  DWORD length = 0;
  if (!hash || !CryptSignHashA(hash.get(), keySpec, nullptr, flags, nullptr, &length)) {
    text = outcome(FALSE);
    return {};
  }
  Bytes sig(length);
  if (!CryptSignHashA(hash.get(), keySpec, nullptr, flags, sig.data(), &length)) {
    text = outcome(FALSE);
    return {};
  }
  sig.resize(length);
  text = hex(sig);
  return sig;
}

std::string verify(HCRYPTPROV prov, ALG_ID algorithm, const Bytes& sig, HCRYPTKEY publicKey,
                   DWORD flags) {
  HashHandle hash = hashOfData(prov, algorithm);
  if (!hash) return "hash:" + outcome(FALSE);
  return outcome(CryptVerifySignatureA(hash.get(), sig.data(), static_cast<DWORD>(sig.size()),
                                       publicKey, nullptr, flags));
}

void probeSigning(HCRYPTPROV prov, const std::string& k, DWORD keySpec, HCRYPTKEY publicKey) {
  for (const Hash& h : kHashes) {
    std::string text;
    Bytes sig = signature(prov, h.algorithm, keySpec, 0, text);
    emit(k + "/sign/" + h.label, text);
    emit(k + "/verify/" + h.label, verify(prov, h.algorithm, sig, publicKey, 0));
    if (!sig.empty()) {
      Bytes tampered = sig;
      tampered[0] ^= 1;
      emit(k + "/verify-tampered/" + h.label, verify(prov, h.algorithm, tampered, publicKey, 0));
    }
    Bytes bare = signature(prov, h.algorithm, keySpec, CRYPT_NOHASHOID, text);
    emit(k + "/sign-nohashoid/" + h.label, text);
    emit(k + "/verify-nohashoid/" + h.label,
         verify(prov, h.algorithm, bare, publicKey, CRYPT_NOHASHOID));
  }

  // Signing a hash value set from outside gives the signature of the hashed data.
  HashHandle hash;
  CryptCreateHash(prov, CALG_SHA1, 0, 0, hash.put());
  emit(k + "/set-hash-value", outcome(CryptSetHashParam(hash.get(), HP_HASHVAL, kDataSha1, 0)));
  BYTE sig[256];
  DWORD length = sizeof sig;
  BOOL signedValue = CryptSignHashA(hash.get(), keySpec, nullptr, 0, sig, &length);
  emit(k + "/sign-set-hash-value", signedValue ? hex(sig, length) : outcome(FALSE));
}

// Encryption pads at random: only the round trip and the lengths can be compared.
void probeEncryption(HCRYPTKEY key, const std::string& k) {
  BYTE buffer[256] = {};
  std::memcpy(buffer, "secret", 6);
  DWORD length = 6;
  BOOL encrypted = CryptEncrypt(key, 0, TRUE, 0, buffer, &length, sizeof buffer);
  emit(k + "/encrypt-length", encrypted ? std::to_string(length) : outcome(FALSE));
  if (encrypted) {
    BOOL decrypted = CryptDecrypt(key, 0, TRUE, 0, buffer, &length);
    emit(k + "/decrypt", decrypted
                             ? escaped(std::string_view(reinterpret_cast<char*>(buffer), length))
                             : outcome(FALSE));
  }
  DWORD needed = 6;
  emit(k + "/encrypt-size", outcome(CryptEncrypt(key, 0, TRUE, 0, nullptr, &needed, 0)) +
                                " length=" + std::to_string(needed));
  needed = 6;
  BYTE small[16] = {};
  emit(k + "/encrypt-short-buffer",
       outcome(CryptEncrypt(key, 0, TRUE, 0, small, &needed, sizeof small)) +
           " length=" + std::to_string(needed));
}

void probeImportedKey(HCRYPTPROV prov, const std::string& k, const char* blobName, DWORD keySpec) {
  const Bytes& blob = fixture(blobName);
  KeyHandle imported;
  if (!CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE,
                      imported.put())) {
    emit(k + "/import", outcome(FALSE));
    return;
  }
  emit(k + "/keylen", keyParam(imported.get(), KP_KEYLEN));
  emit(k + "/algid", keyParam(imported.get(), KP_ALGID));
  std::string text;
  Bytes publicBlob = exported(imported.get(), PUBLICKEYBLOB, text);
  emit(k + "/public-blob", text);
  exported(imported.get(), PRIVATEKEYBLOB, text);
  emit(k + "/private-blob-same-as-imported", text == hex(blob) ? "yes" : text);

  KeyHandle user;
  BOOL got = CryptGetUserKey(prov, keySpec, user.put());
  emit(k + "/user-key", outcome(got));
  if (got) {
    std::string userText;
    emit(k + "/user-key-public-blob-same",
         exported(user.get(), PUBLICKEYBLOB, userText) == publicBlob ? "yes" : "no");
  }

  // The public half alone, to verify with.
  KeyHandle publicKey;
  emit(k + "/import-public",
       outcome(CryptImportKey(prov, publicBlob.data(), static_cast<DWORD>(publicBlob.size()), 0, 0,
                              publicKey.put())));
  probeSigning(prov, k, keySpec, publicKey.get());
  probeEncryption(imported.get(), k);
}

void probeProvider(const char* label, const char* providerName) {
  const std::string key = std::string("keys/") + label;
  ProviderHandle prov;
  if (!CryptAcquireContextA(prov.put(), nullptr, providerName, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT)) {
    emit(key + "/acquire", outcome(FALSE));
    return;
  }
  BYTE name[128] = {};
  DWORD nameLength = sizeof name;
  BOOL named = CryptGetProvParam(prov.get(), PP_NAME, name, &nameLength, 0);
  emit(key + "/pp-name", named
                             ? escaped(std::string_view(reinterpret_cast<char*>(name), nameLength))
                             : outcome(FALSE));
  probeImportedKey(prov.get(), key + "/exchange", "key_exchange.blob", AT_KEYEXCHANGE);
  probeImportedKey(prov.get(), key + "/signature", "key_signature.blob", AT_SIGNATURE);
}

}  // namespace

void probeKeys() {
  probeProvider("enhanced", MS_ENHANCED_PROV_A);
  probeProvider("base", MS_DEF_PROV_A);
  probeProvider("default", nullptr);
}

void probeHashes() {
  ProviderHandle prov;
  if (!CryptAcquireContextA(prov.put(), nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT)) {
    emit("hash/acquire", outcome(FALSE));
    return;
  }
  struct Input {
    const char* label;
    std::string text;
  };
  const Input inputs[] = {{"empty", ""}, {"abc", "abc"}, {"million-a", std::string(1000000, 'a')}};
  for (const Hash& h : kHashes)
    for (const Input& input : inputs) {
      const std::string key = std::string("hash/") + h.label + "/" + input.label;
      HashHandle hash;
      if (!CryptCreateHash(prov.get(), h.algorithm, 0, 0, hash.put())) {
        emit(key, "create:" + outcome(FALSE));
        continue;
      }
      // In two pieces, to check that updates add up.
      const auto* data = reinterpret_cast<const BYTE*>(input.text.data());
      const auto half = static_cast<DWORD>(input.text.size() / 2);
      CryptHashData(hash.get(), data, half, 0);
      CryptHashData(hash.get(), data + half, static_cast<DWORD>(input.text.size()) - half, 0);
      BYTE word[4] = {};
      DWORD length = sizeof word;
      CryptGetHashParam(hash.get(), HP_ALGID, word, &length, 0);
      emit(key + "/algid", hex(word, length));
      length = sizeof word;
      CryptGetHashParam(hash.get(), HP_HASHSIZE, word, &length, 0);
      emit(key + "/size", hex(word, length));
      BYTE value[20] = {};
      length = 4;
      BOOL shortRead = CryptGetHashParam(hash.get(), HP_HASHVAL, value, &length, 0);
      emit(key + "/short-buffer", outcome(shortRead) + " length=" + std::to_string(length));
      length = 0;
      emit(key + "/value-size",
           outcome(CryptGetHashParam(hash.get(), HP_HASHVAL, nullptr, &length, 0)) +
               " length=" + std::to_string(length));
      length = sizeof value;
      BOOL read = CryptGetHashParam(hash.get(), HP_HASHVAL, value, &length, 0);
      emit(key + "/value", read ? hex(value, length) : outcome(FALSE));
      emit(key + "/update-after-value", outcome(CryptHashData(hash.get(), data, 1, 0)));
      length = sizeof word;
      emit(key + "/unknown-param", outcome(CryptGetHashParam(hash.get(), 99, word, &length, 0)));
    }
}

}  // namespace probe
