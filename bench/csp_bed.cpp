// The CryptoAPI benchmarks' bed. OpenSSL's headers come before the CryptoAPI declarations,
// whose macros for two structure types (X509_NAME, PKCS7_SIGNER_INFO) would otherwise replace
// OpenSSL's types in its own headers.
#include "bench/csp_bed.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/der.h"
#include "tests/support/test_files.h"

#include "platform/cryptoapi.h"
#include "TVCAPI/rsa_key_blob.h"

#undef X509_NAME
#undef PKCS7_SIGNER_INFO

namespace kestrune::bench {
namespace {

constexpr std::size_t kMaxFile = 1 << 20;

// The SHA-1 of the DER in 40 upper-case hexadecimal digits: a stored certificate's file name.
std::string thumbprintOf(const Bytes& der) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha1(), nullptr) != 1) return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 15]);
  }
  return hex;
}

bool writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

UserFolder::UserFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-csp-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  std::error_code ignored;
  std::filesystem::create_directories(path_ + "/data", ignored);
  std::filesystem::create_directories(path_ + "/config/kestrune", ignored);
}

UserFolder::~UserFolder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string UserFolder::userStore(std::string_view name) const {
  return path_ + "/data/kestrune/stores/CurrentUser/" + std::string(name);
}

bool UserFolder::writeProviders(const std::string& json) const {
  return writeText(path_ + "/config/kestrune/providers.json", json);
}

UserFolderScope::UserFolderScope(const UserFolder& folder) {
  const std::pair<const char*, std::string> variables[] = {
      {"XDG_DATA_HOME", folder.path() + "/data"}, {"XDG_CONFIG_HOME", folder.path() + "/config"}};
  for (const auto& [name, value] : variables) {
    const char* previous = std::getenv(name);
    saved_.emplace_back(name, previous != nullptr ? previous : "");
    setenv(name, value.c_str(), 1);
  }
}

UserFolderScope::~UserFolderScope() {
  for (const auto& [name, value] : saved_) {
    if (value.empty()) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
}

Ptr<EVP_PKEY> newRsaKey(unsigned bits) {
  return Ptr<EVP_PKEY>(EVP_RSA_gen(bits));
}

Bytes certificateOf(EVP_PKEY* key, const std::string& commonName,
                    const std::string& issuerOrganisation, std::uint64_t serial) {
  Ptr<X509> cert(X509_new());
  if (!cert) return {};
  const auto add = [](auto* name, const char* field, const std::string& value) {
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                      reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                      0) == 1;
  };
  if (X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
      ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial) != 1 ||
      !add(X509_get_subject_name(cert.get()), "CN", commonName) ||
      !add(X509_get_issuer_name(cert.get()), "O", issuerOrganisation) ||
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400L) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365 * 86400L) == nullptr ||
      X509_set_pubkey(cert.get(), key) != 1 || X509_sign(cert.get(), key, EVP_sha256()) <= 0) {
    return {};
  }
  return toDer(cert.get(), i2d_X509);
}

bool addToStore(const std::string& store, const Bytes& der, std::string_view provider,
                std::string_view container) {
  const std::string thumbprint = thumbprintOf(der);
  std::error_code error;
  std::filesystem::create_directories(store, error);
  if (thumbprint.empty() || error) return false;
  const std::string stem = store + "/" + thumbprint;
  testing::writeFile(stem + ".der", der);
  if (!std::filesystem::exists(stem + ".der")) return false;
  if (provider.empty()) return true;
  return writeText(stem + ".json", "{\"provider\": \"" + std::string(provider) +
                                       "\", \"container\": \"" + std::string(container) +
                                       "\", \"providerType\": 1, \"keySpec\": 1, \"flags\": 0}");
}

bool storeInContainer(EVP_PKEY* key, const char* container) {
  const Bytes der = toDer(key, i2d_PrivateKey);
  std::uint8_t* blob = nullptr;
  std::size_t length = 0;
  if (der.empty() || !tvxCAPIDerToPrivateBlob(der.data(), der.size(), &blob, &length)) {
    return false;
  }
  HCRYPTPROV provider = 0;
  HCRYPTKEY imported = 0;
  bool stored = CryptAcquireContextA(&provider, container, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET) != FALSE;
  stored = stored && CryptImportKey(provider, blob, static_cast<DWORD>(length), 0, CRYPT_EXPORTABLE,
                                    &imported) != FALSE;
  OPENSSL_cleanse(blob, length);
  std::free(blob);
  if (imported != 0) CryptDestroyKey(imported);
  if (provider != 0) CryptReleaseContext(provider, 0);
  return stored;
}

bool readWhole(const std::string& path, Bytes& bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = fstat(fd, &info) == 0 && static_cast<std::uint64_t>(info.st_size) <= kMaxFile;
  if (ok) {
    bytes.resize(static_cast<std::size_t>(info.st_size));
    for (std::size_t done = 0; ok && done < bytes.size();) {
      const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
      ok = n > 0;
      if (ok) done += static_cast<std::size_t>(n);
    }
  }
  close(fd);
  return ok;
}

}  // namespace kestrune::bench
