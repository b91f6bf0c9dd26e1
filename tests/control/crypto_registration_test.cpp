// The first control registers single DES, triple DES and MD5 with OpenSSL.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "common/ptr.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/crypto_registration.h"

namespace kestrune {
namespace {

std::string hex(const std::vector<unsigned char>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (const auto b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

// shell runs a command line and returns its standard output.
std::string shell(const char* command) {
  std::string output;
  FILE* pipe = ::popen(command, "r");
  if (pipe == nullptr) return output;
  char buffer[256];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  ::pclose(pipe);
  return output;
}

TEST(CryptoRegistration, DesCiphersAndMd5AreFoundByName) {
  TVFEDIMiniKeyCrypt control;
  EXPECT_TRUE(control::registerCryptoOnce());
  EXPECT_NE(nullptr, EVP_get_cipherbyname("DES-CBC"));
  EXPECT_NE(nullptr, EVP_get_cipherbyname("DES-EDE3-CBC"));
  EXPECT_NE(nullptr, EVP_get_digestbyname("MD5"));
  Ptr<EVP_CIPHER> fetched(EVP_CIPHER_fetch(nullptr, "DES-CBC", nullptr));
  EXPECT_NE(nullptr, fetched);
}

TEST(CryptoRegistration, SingleDesEncryptsAsTheOpensslCommandDoes) {
  TVFEDIMiniKeyCrypt control;
  const unsigned char key[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  const unsigned char iv[8] = {};
  const unsigned char plain[16] = {'F', 'E', 'D', 'I', '-', 'C', 'B', 'C',
                                   'k', 'e', 's', 't', 'r', 'u', 'n', 'e'};
  Ptr<EVP_CIPHER_CTX> context(EVP_CIPHER_CTX_new());
  ASSERT_EQ(1,
            EVP_EncryptInit_ex(context.get(), EVP_get_cipherbyname("DES-CBC"), nullptr, key, iv));
  EVP_CIPHER_CTX_set_padding(context.get(), 0);
  std::vector<unsigned char> cipher(sizeof plain);
  int written = 0;
  ASSERT_EQ(1, EVP_EncryptUpdate(context.get(), cipher.data(), &written, plain, sizeof plain));
  ASSERT_EQ(static_cast<int>(sizeof plain), written);

  const std::string fromCommand = shell(
      "printf FEDI-CBCkestrune | openssl enc -des-cbc -provider legacy -provider default "
      "-nopad -K 0123456789abcdef -iv 0000000000000000 | od -An -tx1 | tr -d ' \\n'");
  EXPECT_EQ(fromCommand, hex(cipher));
}

}  // namespace
}  // namespace kestrune
