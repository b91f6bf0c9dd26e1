// The MAC of a new-certificate request: CBC-MAC of ISO/IEC 9797-1 algorithm 1 with single DES
// and zero padding, truncated to 4 bytes, under a key derived from the authority's pass phrase.
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "FEDIX509/fedi_req.h"

namespace {

constexpr char kMacPrefix[] = "CeRt_ReQ";
constexpr std::size_t kPrefixLen = sizeof kMacPrefix - 1;
// The pass phrase and its prefix share a 4,248-byte working buffer.
constexpr std::size_t kMaxPass = 4248 - kPrefixLen;

struct CipherFree {
  void operator()(EVP_CIPHER* p) const noexcept { EVP_CIPHER_free(p); }
  void operator()(EVP_CIPHER_CTX* p) const noexcept { EVP_CIPHER_CTX_free(p); }
  void operator()(unsigned char* p) const noexcept { OPENSSL_free(p); }
};

// Single DES lives in the legacy provider; loading it replaces the implicit default
// provider, so both are loaded, once, and unloaded at exit before the library's own clean-up
// (which never frees a provider still loaded).
class DesProviders {
 public:
  DesProviders()
      : legacy_(OSSL_PROVIDER_load(nullptr, "legacy")),
        default_(OSSL_PROVIDER_load(nullptr, "default")) {}
  ~DesProviders() {
    if (default_ != nullptr) OSSL_PROVIDER_unload(default_);
    if (legacy_ != nullptr) OSSL_PROVIDER_unload(legacy_);
  }
  DesProviders(const DesProviders&) = delete;
  DesProviders& operator=(const DesProviders&) = delete;

  bool loaded() const { return legacy_ != nullptr && default_ != nullptr; }

 private:
  OSSL_PROVIDER* legacy_;
  OSSL_PROVIDER* default_;
};

bool loadDesProviders() {
  static const DesProviders providers;
  return providers.loaded();
}

bool deriveKey(const unsigned char* pass, std::size_t passLen, unsigned char key[8]) {
  std::vector<unsigned char> material(kMacPrefix, kMacPrefix + kPrefixLen);
  if (pass != nullptr) material.insert(material.end(), pass, pass + passLen);
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int digestLen = 0;
  if (EVP_Digest(material.data(), material.size(), digest.data(), &digestLen, EVP_md5(), nullptr) !=
          1 ||
      digestLen < 8) {
    return false;
  }
  std::memcpy(key, digest.data(), 8);
  return true;
}

}  // namespace

int FEDI_req_mac(X509_REQ* request, const unsigned char* pass, std::size_t passLen,
                 unsigned char out[4]) {
  if (request == nullptr || out == nullptr || passLen > kMaxPass) return 0;
  if (pass == nullptr) passLen = 0;
  if (!loadDesProviders()) return 0;
  unsigned char* raw = nullptr;
  const int n = i2d_X509_REQ(request, &raw);
  std::unique_ptr<unsigned char, CipherFree> der(raw);
  if (n < 1) return 0;
  std::vector<unsigned char> data(der.get(), der.get() + n);
  data.resize((data.size() + 7) / 8 * 8, 0);  // zero padding, none when already whole blocks

  unsigned char key[8];
  if (!deriveKey(pass, passLen, key)) return 0;
  std::unique_ptr<EVP_CIPHER, CipherFree> des(EVP_CIPHER_fetch(nullptr, "DES-CBC", nullptr));
  std::unique_ptr<EVP_CIPHER_CTX, CipherFree> ctx(EVP_CIPHER_CTX_new());
  const unsigned char iv[8] = {};
  if (des == nullptr || ctx == nullptr ||
      EVP_EncryptInit_ex2(ctx.get(), des.get(), key, iv, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
    OPENSSL_cleanse(key, sizeof key);
    return 0;
  }
  OPENSSL_cleanse(key, sizeof key);
  std::vector<unsigned char> cipher(data.size() + 8);
  int written = 0;
  if (EVP_EncryptUpdate(ctx.get(), cipher.data(), &written, data.data(),
                        static_cast<int>(data.size())) != 1 ||
      written != static_cast<int>(data.size())) {
    return 0;
  }
  std::memcpy(out, cipher.data() + written - 8, 4);
  return 1;
}
