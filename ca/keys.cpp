// RSA keys on the authority's side: its private key from a PEM file, new key pairs, and the
// public half of a holder's key, which is all a certificate may carry.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "ca/issuing_parts.h"
#include "common/der.h"
#include "common/ptr.h"
#include "platform/platform.h"

namespace kestrune::ca {

namespace {

// The file's bytes are wiped once read: they hold the private key.
struct WipedBytes {
  std::vector<std::uint8_t> bytes;
  ~WipedBytes() {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  }
};

// passphraseCallback hands OpenSSL the caller's passphrase; with none it answers 0, so an
// encrypted key fails instead of OpenSSL prompting on the terminal.
int passphraseCallback(char* buffer, int size, int, void* passphrase) {
  if (passphrase == nullptr) return 0;
  const std::size_t length = std::strlen(static_cast<const char*>(passphrase));
  if (length > static_cast<std::size_t>(size)) return 0;
  std::memcpy(buffer, passphrase, length);
  return static_cast<int>(length);
}

KeyPtr readPemKey(const std::vector<std::uint8_t>& pem, const char* passphrase, Status& status) {
  if (pem.size() > INT_MAX) {
    status = Status::badPem;
    return nullptr;
  }
  Ptr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) {
    status = Status::noMemory;
    return nullptr;
  }
  KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, passphraseCallback,
                                     const_cast<char*>(passphrase)));
  if (!key) status = Status::badPem;
  return key;
}

KeyPtr publicHalfOfKey(EVP_PKEY* key, Status& status) {
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    status = Status::badSubjectKey;
    return nullptr;
  }
  // Through its PKCS#1 RSAPublicKey, which leaves every private part behind.
  const std::vector<std::uint8_t> der = kestrune::toDer(key, i2d_PublicKey);
  if (der.empty() || der.size() > LONG_MAX) {
    status = Status::badSubjectKey;
    return nullptr;
  }
  const unsigned char* pos = der.data();
  KeyPtr half(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &pos, static_cast<long>(der.size())));
  if (!half) status = Status::failed;
  return half;
}

KeyPtr keyOfParts(const RsaPublicParts& parts, Status& status) {
  if (parts.modulus.size() > INT_MAX || parts.exponent.size() > INT_MAX) {
    status = Status::badSubjectKey;
    return nullptr;
  }
  Ptr<BIGNUM> modulus(
      BN_bin2bn(parts.modulus.data(), static_cast<int>(parts.modulus.size()), nullptr));
  Ptr<BIGNUM> exponent(
      BN_bin2bn(parts.exponent.data(), static_cast<int>(parts.exponent.size()), nullptr));
  if (!modulus || !exponent) {
    status = Status::noMemory;
    return nullptr;
  }
  if (BN_is_zero(modulus.get()) || BN_is_zero(exponent.get())) {
    status = Status::badSubjectKey;
    return nullptr;
  }
  Ptr<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
  if (!builder ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get()) != 1) {
    status = Status::noMemory;
    return nullptr;
  }
  Ptr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
  Ptr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (!params || !context) {
    status = Status::noMemory;
    return nullptr;
  }
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    status = Status::badSubjectKey;
    return nullptr;
  }
  return KeyPtr(key);
}

}  // namespace

KeyPtr loadPrivateKey(const char* pemPath, const char* passphrase, Status* status) noexcept {
  try {
    Status result = Status::ok;
    WipedBytes file;
    KeyPtr key;
    switch (pemPath != nullptr ? platform::readFile(pemPath, file.bytes)
                               : platform::FileStatus::cannotOpen) {
      case platform::FileStatus::ok:
        key = readPemKey(file.bytes, passphrase, result);
        break;
      case platform::FileStatus::noMemory:
        result = Status::noMemory;
        break;
      default:
        result = Status::cannotRead;
        break;
    }
    detail::reportStatus(status, result);
    return key;
  } catch (const std::bad_alloc&) {
    detail::reportStatus(status, Status::noMemory);
    return nullptr;
  }
}

KeyPtr generateRsaKey(unsigned bits) noexcept {
  return KeyPtr(EVP_RSA_gen(bits));
}

namespace detail {

KeyPtr publicHalf(const SubjectKey& key, Status& status) {
  if (const auto* pkey = std::get_if<EVP_PKEY*>(&key)) return publicHalfOfKey(*pkey, status);
  if (const auto* parts = std::get_if<RsaPublicParts>(&key)) return keyOfParts(*parts, status);
  status = Status::badSubjectKey;
  return nullptr;
}

}  // namespace detail

}  // namespace kestrune::ca
