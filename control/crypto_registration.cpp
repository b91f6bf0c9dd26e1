#include "control/crypto_registration.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

namespace kestrune::control {
namespace {

// The two providers stay loaded for the life of the process. They are unloaded by this
// owner's destructor at exit, before the library's own clean-up runs: a provider still
// loaded then is never freed.
class LoadedProviders {
 public:
  LoadedProviders()
      : legacy_(OSSL_PROVIDER_load(nullptr, "legacy")),
        default_(OSSL_PROVIDER_load(nullptr, "default")) {}
  ~LoadedProviders() {
    if (default_ != nullptr) OSSL_PROVIDER_unload(default_);
    if (legacy_ != nullptr) OSSL_PROVIDER_unload(legacy_);
  }
  LoadedProviders(const LoadedProviders&) = delete;
  LoadedProviders& operator=(const LoadedProviders&) = delete;

  bool loaded() const { return legacy_ != nullptr && default_ != nullptr; }

 private:
  OSSL_PROVIDER* legacy_;
  OSSL_PROVIDER* default_;
};

bool registerCrypto() {
  static const LoadedProviders providers;
  // The name tables are filled by the library's own initialisation already; adding the three
  // again keeps the look-ups by name working even where that initialisation was trimmed.
  const bool names = EVP_add_cipher(EVP_des_cbc()) == 1 &&
                     EVP_add_cipher(EVP_des_ede3_cbc()) == 1 && EVP_add_digest(EVP_md5()) == 1;
  return providers.loaded() && names;
}

}  // namespace

bool registerCryptoOnce() noexcept {
  static const bool registered = registerCrypto();
  return registered;
}

}  // namespace kestrune::control
