// The MAC of a new-certificate request: CBC-MAC of ISO/IEC 9797-1 algorithm 1 with single DES
// and zero padding, truncated to 4 bytes, under a key derived from the authority's pass phrase.
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "FEDIX509/fedi_md5.h"
#include "FEDIX509/fedi_req.h"
#include "common/ptr.h"

namespace {

constexpr char kMacPrefix[] = "CeRt_ReQ";
constexpr std::size_t kPrefixLen = sizeof kMacPrefix - 1;
// The pass phrase and its prefix share a 4,248-byte working buffer.
constexpr std::size_t kMaxPass = 4248 - kPrefixLen;

// Single DES lives in the legacy provider; loading it replaces the implicit default
// provider, so both are loaded, once, and unloaded at exit before the library's own clean-up
// (which never frees a provider still loaded). The cipher is fetched once with them: a fetch
// searches the method store on every call. A fetched cipher is only read, so every thread can
// share it.
class DesCbc {
 public:
  DesCbc()
      : legacy_(OSSL_PROVIDER_load(nullptr, "legacy")),
        default_(OSSL_PROVIDER_load(nullptr, "default")),
        cipher_(loaded() ? EVP_CIPHER_fetch(nullptr, "DES-CBC", nullptr) : nullptr) {}
  ~DesCbc() {
    EVP_CIPHER_free(cipher_);
    if (default_ != nullptr) OSSL_PROVIDER_unload(default_);
    if (legacy_ != nullptr) OSSL_PROVIDER_unload(legacy_);
  }
  DesCbc(const DesCbc&) = delete;
  DesCbc& operator=(const DesCbc&) = delete;

  const EVP_CIPHER* cipher() const { return cipher_; }

 private:
  bool loaded() const { return legacy_ != nullptr && default_ != nullptr; }

  OSSL_PROVIDER* legacy_;
  OSSL_PROVIDER* default_;
  EVP_CIPHER* cipher_;
};

// desCbc returns the process's DES-CBC cipher, or null when it cannot be had.
const EVP_CIPHER* desCbc() {
  static const DesCbc des;
  return des.cipher();
}

bool deriveKey(const unsigned char* pass, std::size_t passLen, unsigned char key[8]) {
  std::vector<unsigned char> material(kMacPrefix, kMacPrefix + kPrefixLen);
  if (pass != nullptr) material.insert(material.end(), pass, pass + passLen);
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int digestLen = 0;
  const bool derived = EVP_Digest(material.data(), material.size(), digest.data(), &digestLen,
                                  kestrune::fedi::md5(), nullptr) == 1 &&
                       digestLen >= 8;
  if (derived) std::memcpy(key, digest.data(), 8);
  // The material holds the pass phrase, the digest the key.
  OPENSSL_cleanse(material.data(), material.size());
  OPENSSL_cleanse(digest.data(), digest.size());
  return derived;
}

}  // namespace

int kestrune::fedi::requestMac(const unsigned char* der, std::size_t derLen,
                               const unsigned char* pass, std::size_t passLen,
                               unsigned char out[4]) {
  if (der == nullptr || derLen < 1 || out == nullptr || passLen > kMaxPass) return 0;
  if (derLen > static_cast<std::size_t>(std::numeric_limits<int>::max()) - 8) return 0;
  if (pass == nullptr) passLen = 0;
  const EVP_CIPHER* des = desCbc();
  if (des == nullptr) return 0;
  std::vector<unsigned char> data(der, der + derLen);
  data.resize((data.size() + 7) / 8 * 8, 0);  // zero padding, none when already whole blocks

  unsigned char key[8];
  if (!deriveKey(pass, passLen, key)) return 0;
  kestrune::Ptr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  const unsigned char iv[8] = {};
  if (ctx == nullptr || EVP_EncryptInit_ex2(ctx.get(), des, key, iv, nullptr) != 1 ||
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

int FEDI_req_mac(X509_REQ* request, const unsigned char* pass, std::size_t passLen,
                 unsigned char out[4]) {
  if (request == nullptr || out == nullptr || passLen > kMaxPass) return 0;
  unsigned char* raw = nullptr;
  const int n = i2d_X509_REQ(request, &raw);
  kestrune::Ptr<unsigned char> der(raw);
  if (n < 1) return 0;
  return kestrune::fedi::requestMac(der.get(), static_cast<std::size_t>(n), pass, passLen, out);
}
