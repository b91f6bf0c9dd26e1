// What the CryptoAPI signing-session benchmarks share: a private folder that stands for the
// user's data and configuration (certificate stores, software key containers, the provider
// file), certificates made with OpenSSL, and the ways they are put where the control looks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/ptr.h"

namespace kestrune::bench {

using Bytes = std::vector<std::uint8_t>;

// The name under which the built-in software provider answers.
inline constexpr const char* kSoftwareProvider = "Microsoft Enhanced Cryptographic Provider v1.0";

// UserFolder is a fresh temporary folder (removed with its content at destruction) laid out as
// the user's XDG data and configuration folders.
class UserFolder {
 public:
  UserFolder();
  ~UserFolder();
  UserFolder(const UserFolder&) = delete;
  UserFolder& operator=(const UserFolder&) = delete;

  const std::string& path() const { return path_; }
  // The folder of the current user's system store of that name.
  std::string userStore(std::string_view name) const;
  // writeProviders writes the provider file; false when it can't be written.
  bool writeProviders(const std::string& json) const;

 private:
  std::string path_;
};

// While a UserFolderScope lives, the CryptoAPI layer takes the folder for the user's data and
// configuration (XDG_DATA_HOME, XDG_CONFIG_HOME); the variables are restored afterwards. Each
// benchmark enters its own folder, so beds made for other benchmarks don't disturb it.
class UserFolderScope {
 public:
  explicit UserFolderScope(const UserFolder& folder);
  ~UserFolderScope();
  UserFolderScope(const UserFolderScope&) = delete;
  UserFolderScope& operator=(const UserFolderScope&) = delete;

 private:
  std::vector<std::pair<std::string, std::string>> saved_;  // empty value: was unset
};

Ptr<EVP_PKEY> newRsaKey(unsigned bits);

// certificateOf gives the DER of a certificate of the key with that subject CN and an issuer
// named by its O alone (the control takes the signer's identity from those two), signed with
// the same key; empty on failure.
Bytes certificateOf(EVP_PKEY* key, const std::string& commonName,
                    const std::string& issuerOrganisation, std::uint64_t serial);

// addToStore writes the certificate into a store folder under its thumbprint; with a provider,
// the key-provider property beside it names that provider and container (an exchange key).
// False when a file can't be written.
bool addToStore(const std::string& store, const Bytes& der, std::string_view provider = {},
                std::string_view container = {});

// storeInContainer imports the key into a new software container of that name as its exchange
// key; the user folder must be entered. False when the provider refuses.
bool storeInContainer(EVP_PKEY* key, const char* container);

// readWhole reads a file into bytes with plain system calls; false when it can't be read.
bool readWhole(const std::string& path, Bytes& bytes);

}  // namespace kestrune::bench
