// The core tests' surroundings: a private folder for the user's data, configuration, machine
// stores and temporary files; the library's message boxes collected; RSA keys and
// certificates made with OpenSSL; files and the openssl command.
#pragma once

// First: it includes OpenSSL before the CryptoAPI declarations.
#include "tests/cryptoapi/cert_maker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TVCAPI/tvcapi.h"
#include "common/ptr.h"
#include "tests/support/test_files.h"

namespace kestrune::testing::tvcapi_core {

using Bytes = std::vector<std::uint8_t>;

struct ShownMessage {
  std::string text;
  std::string caption;
};

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const std::string& dir() const { return folder_.path(); }
  // The folder GetTempPathA names, where the store file lies.
  std::string tempDir() const { return dir() + "/tmp"; }
  std::string userStore(const char* name) const {
    return dir() + "/data/kestrune/stores/CurrentUser/" + name;
  }
  void writeProviders(const std::string& json);
  const std::vector<ShownMessage>& messages() const { return messages_; }
  void clearMessages() { messages_.clear(); }

 private:
  kestrune::test::TempFolder folder_;
  std::vector<ShownMessage> messages_;
  std::vector<std::pair<std::string, std::string>> savedEnvironment_;
};

Ptr<EVP_PKEY> newRsaKey(unsigned bits = 1024);
// The PKCS#1 RSAPrivateKey and the SubjectPublicKeyInfo of a key.
Bytes privateKeyDer(EVP_PKEY* key);
Bytes publicKeyInfoDer(EVP_PKEY* key);
// A self-signed certificate of the key with that common name and serial number.
Bytes selfSigned(EVP_PKEY* key, const char* commonName, std::uint64_t serial);
// The key put into a new software container of that name as its exchange key (exportable).
void storeInContainer(EVP_PKEY* key, const char* container);
// A certificate handle of the DER; with a provider, the certificate names that container,
// provider and key spec as its key's home.
TVCAPIHandle* certificateHandle(const Bytes& der, const char* container = nullptr,
                                const char* provider = nullptr, std::uint32_t keySpec = 1);

using kestrune::testing::readFile;
using kestrune::testing::writeFile;
std::string asText(const Bytes& bytes);
Bytes asBytes(const std::string& text);
// Runs a shell command quietly; true when it exits with 0.
bool run(const std::string& command);
Bytes sha1(const Bytes& data);

// The bytes of a blob that the library allocated, which is freed.
Bytes taken(TVCAPI_BLOB& blob);

}  // namespace kestrune::testing::tvcapi_core
