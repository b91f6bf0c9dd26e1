// The software provider: key sets on disk, keys, signatures checked by the openssl command,
// PKCS#1 encryption and the refused PIN parameters.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "platform/refused_files.h"
#include "tests/cryptoapi/provider_test_env.h"

namespace kestrune::testing {
namespace {

using SoftwareProvider = ProviderTest;

TEST_F(SoftwareProvider, KeySetLifecycle) {
  HCRYPTPROV prov = 0;
  EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "box", MS_DEF_PROV_A, PROV_RSA_FULL, 0),
                    NTE_BAD_KEYSET);
  ASSERT_TRUE(CryptAcquireContextA(&prov, "box", MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "box", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET),
                    NTE_EXISTS);
  ASSERT_TRUE(CryptAcquireContextA(&prov, "box", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
  char name[64];
  DWORD length = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &length, 0));
  EXPECT_STREQ(name, "box");
  EXPECT_EQ(length, 4u);
  length = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &length, 0));
  EXPECT_STREQ(name, MS_ENHANCED_PROV_A);
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  EXPECT_FAILS_WITH(CryptReleaseContext(prov, 0), NTE_BAD_UID);
  prov = 1;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "box", nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
  EXPECT_EQ(prov, 0u);
  EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "box", nullptr, PROV_RSA_FULL, 0), NTE_BAD_KEYSET);
  EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "box", nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET),
                    NTE_BAD_KEYSET);
  EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "box", "No Such Provider", PROV_RSA_FULL, 0),
                    NTE_KEYSET_NOT_DEF);
}

// The provider type: one outside 1 to 999 is no type; a named provider of another type is
// found and doesn't match; without a name, a type no provider has isn't defined; an unknown
// name fails before its type counts.
TEST_F(SoftwareProvider, ProviderTypeErrorsAsWindowsGivesThem) {
  writeProviders(R"({"Card": {"pkcs11": "/nonexistent/module.so"}})");
  constexpr DWORD kProvRsaAes = 24;
  constexpr DWORD kNoSuchType = 500;
  constexpr DWORD kNteBadProvType = 0x80090014;  // NTE_BAD_PROV_TYPE
  struct Case {
    const char* provider;
    DWORD type;
    DWORD error;
  };
  const Case cases[] = {
      {nullptr, 0, kNteBadProvType},
      {nullptr, 1000, kNteBadProvType},
      {MS_ENHANCED_PROV_A, 0, kNteBadProvType},
      {nullptr, kNoSuchType, NTE_PROV_TYPE_NOT_DEF},
      {MS_DEF_PROV_A, kProvRsaAes, NTE_PROV_TYPE_NO_MATCH},
      {MS_ENHANCED_PROV_A, kNoSuchType, NTE_PROV_TYPE_NO_MATCH},
      {"Card", kProvRsaAes, NTE_PROV_TYPE_NO_MATCH},
      {"No Such Provider", kProvRsaAes, NTE_KEYSET_NOT_DEF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << (c.provider != nullptr ? c.provider : "(default)") << ", type " << c.type);
    for (const DWORD flags : {0u, CRYPT_NEWKEYSET, CRYPT_VERIFYCONTEXT}) {
      HCRYPTPROV prov = 1;
      EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "box", c.provider, c.type, flags), c.error);
      EXPECT_EQ(prov, 0u);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(keyFolder() + "/box.pem"));
}

TEST_F(SoftwareProvider, ContainerFilesArePrivateAndNamesStayInTheFolder) {
  const std::string hostile = std::string("../../escape\n\xff/x");
  HCRYPTPROV prov = newContainer(hostile.c_str(), AT_SIGNATURE, 512);
  HCRYPTPROV other = newContainer("plain", AT_KEYEXCHANGE, 512);
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(keyFolder())) {
    files.push_back(entry.path().filename().string());
    struct stat st {};
    ASSERT_EQ(stat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << entry.path();
  }
  EXPECT_EQ(files.size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(dir() + "/escape.pem"));
  struct stat folder {};
  ASSERT_EQ(stat(keyFolder().c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);

  // Enumeration gives the names back byte for byte, then ERROR_NO_MORE_ITEMS.
  std::vector<std::string> names;
  DWORD flags = CRYPT_FIRST;
  for (;;) {
    char name[300];
    DWORD length = 0;
    if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &length, flags)) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
      break;
    }
    DWORD tooSmall = length - 1;
    EXPECT_FAILS_WITH(
        CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &tooSmall, 0),
        ERROR_MORE_DATA);
    length = sizeof name;
    ASSERT_TRUE(
        CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &length, 0));
    names.emplace_back(name, length - 1);
    flags = CRYPT_NEXT;
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{hostile, "plain"}));
  CryptReleaseContext(prov, 0);
  CryptReleaseContext(other, 0);
}

// containerNames enumerates the software provider's key sets through a verification context.
std::vector<std::string> containerNames() {
  HCRYPTPROV prov = 0;
  EXPECT_TRUE(
      CryptAcquireContextA(&prov, nullptr, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  std::vector<std::string> names;
  for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
    char name[300];
    DWORD length = sizeof name;
    if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &length, flags))
      break;
    names.emplace_back(name, length - 1);
  }
  CryptReleaseContext(prov, 0);
  return names;
}

// A key set file or folder that another user may have written is never used (a key planted
// there would sign in the user's name) nor listed, and its path goes to the refusal sink.
TEST_F(SoftwareProvider, KeySetsOthersMayWriteAreNeitherUsedNorListed) {
  CryptReleaseContext(newContainer("mine", AT_SIGNATURE, 512), 0);
  CryptReleaseContext(newContainer("other", AT_SIGNATURE, 512), 0);
  std::vector<std::string> refused;
  const platform::RefusedFileSink previous =
      platform::setRefusedFileSink([&](const std::string& path) { refused.push_back(path); });
  const std::string file = keyFolder() + "/mine.pem";
  const std::vector<std::string> both = {"mine", "other"};
  HCRYPTPROV prov = 0;

  struct Case {
    const char* what;
    std::string path;
    mode_t mode;
    mode_t usual;
    DWORD openError;  // what opening "mine" gives
    std::vector<std::string> listed;
  } const cases[] = {
      {"world-writable file", file, 0606, 0600, ERROR_ACCESS_DENIED, {"other"}},
      {"group-writable file", file, 0660, 0600, ERROR_ACCESS_DENIED, {"other"}},
      {"group-writable folder", keyFolder(), 0770, 0700, NTE_BAD_KEYSET, {}},
      {"world-writable folder", keyFolder(), 0703, 0700, NTE_BAD_KEYSET, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    refused.clear();
    ASSERT_EQ(chmod(c.path.c_str(), c.mode), 0);
    EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "mine", MS_DEF_PROV_A, PROV_RSA_FULL, 0),
                      c.openError);
    EXPECT_EQ(containerNames(), c.listed);
    EXPECT_NE(std::find(refused.begin(), refused.end(), c.path), refused.end());
    ASSERT_EQ(chmod(c.path.c_str(), c.usual), 0);
    EXPECT_EQ(containerNames(), both);
  }
  // Nothing new is made in a folder others may write either.
  ASSERT_EQ(chmod(keyFolder().c_str(), 0770), 0);
  EXPECT_FAILS_WITH(
      CryptAcquireContextA(&prov, "new", MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET),
      ERROR_ACCESS_DENIED);
  ASSERT_EQ(chmod(keyFolder().c_str(), 0700), 0);

  // Only root can give a file to another user.
  if (geteuid() == 0) {
    refused.clear();
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "mine", MS_DEF_PROV_A, PROV_RSA_FULL, 0),
                      ERROR_ACCESS_DENIED);
    EXPECT_EQ(containerNames(), std::vector<std::string>{"other"});
    EXPECT_EQ(refused, (std::vector<std::string>{file, file}));
  }
  platform::setRefusedFileSink(previous);
}

TEST_F(SoftwareProvider, KeysPersistAndAnswerTheirParameters) {
  HCRYPTPROV prov = newContainer("keys", AT_SIGNATURE, 1024);
  CryptReleaseContext(prov, 0);
  ASSERT_TRUE(CryptAcquireContextA(&prov, "keys", nullptr, PROV_RSA_FULL, 0));
  HCRYPTKEY key = 0;
  EXPECT_FAILS_WITH(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key), NTE_NO_KEY);
  ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
  DWORD value = 0, length = sizeof value;
  ASSERT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&value), &length, 0));
  EXPECT_EQ(value, 1024u);
  ASSERT_TRUE(CryptGetKeyParam(key, KP_ALGID, reinterpret_cast<BYTE*>(&value), &length, 0));
  EXPECT_EQ(value, CALG_RSA_SIGN);
  EXPECT_FAILS_WITH(CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &length, 0), NTE_BAD_TYPE);
  // No PIN in a software provider: the PIN parameters are refused as rsaenh refuses them.
  const BYTE pin[] = "123456";
  EXPECT_FAILS_WITH(CryptSetKeyParam(key, KP_SIGNATURE_PIN, pin, 0), NTE_BAD_TYPE);
  EXPECT_FAILS_WITH(CryptSetKeyParam(key, KP_KEYEXCHANGE_PIN, pin, 0), NTE_BAD_TYPE);
  EXPECT_TRUE(CryptSetProvParam(prov, 0x4253, nullptr, 0x80000001));
  EXPECT_TRUE(CryptSetProvParam(prov, 0x4253, nullptr, 0x80000002));
  EXPECT_FAILS_WITH(CryptSetProvParam(prov, 0x4253, nullptr, 0), NTE_BAD_TYPE);
  // The key keeps its context alive after the context's release.
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  ASSERT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&value), &length, 0));
  EXPECT_TRUE(CryptDestroyKey(key));
  EXPECT_FAILS_WITH(CryptDestroyKey(key), NTE_BAD_KEY);
}

TEST_F(SoftwareProvider, SignaturesVerifyWithOpenssl) {
  HCRYPTPROV prov = newContainer("signer", AT_SIGNATURE, 1024);
  const std::string data = "UNH+1+AUTACK:4:1:UN'";
  writeFile(dir() + "/data.txt", Bytes(data.begin(), data.end()));
  std::string key = keyFolder() + "/signer.pem";
  ASSERT_EQ(run("openssl pkey -in " + key + " -pubout -out " + dir() + "/pub.pem"), 0);
  struct Case {
    DWORD flags;
    std::string check;
  } cases[] = {
      {0, "openssl dgst -sha1 -verify " + dir() + "/pub.pem -signature " + dir() + "/sig " + dir() +
              "/data.txt"},
      {CRYPT_NOHASHOID, "openssl dgst -sha1 -binary " + dir() + "/data.txt > " + dir() +
                            "/h && openssl pkeyutl -verify -pubin -inkey " + dir() +
                            "/pub.pem -in " + dir() + "/h -sigfile " + dir() + "/sig"},
  };
  for (const auto& c : cases) {
    HCRYPTHASH hash = sha1Of(prov, data);
    DWORD length = 0;
    ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, c.flags, nullptr, &length));
    EXPECT_EQ(length, 128u);
    Bytes small(64);
    DWORD smallLength = 64;
    EXPECT_FAILS_WITH(
        CryptSignHashA(hash, AT_SIGNATURE, nullptr, c.flags, small.data(), &smallLength),
        ERROR_MORE_DATA);
    EXPECT_EQ(smallLength, 128u);
    Bytes signature(length);
    ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, c.flags, signature.data(), &length));
    EXPECT_FAILS_WITH(
        CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, c.flags, signature.data(), &length),
        NTE_NO_KEY);
    Bytes bigEndian(signature.rbegin(), signature.rend());
    writeFile(dir() + "/sig", bigEndian);
    EXPECT_EQ(run(c.check), 0) << c.flags;
    CryptDestroyHash(hash);

    // Verification: a NOHASHOID signature only verifies with the flag.
    HCRYPTKEY pub = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &pub));
    hash = sha1Of(prov, data);
    EXPECT_TRUE(CryptVerifySignatureA(hash, signature.data(), length, pub, nullptr, c.flags));
    DWORD other = c.flags ^ CRYPT_NOHASHOID;
    EXPECT_FAILS_WITH(CryptVerifySignatureA(hash, signature.data(), length, pub, nullptr, other),
                      NTE_BAD_SIGNATURE);
    signature[5] ^= 1;
    EXPECT_FAILS_WITH(CryptVerifySignatureA(hash, signature.data(), length, pub, nullptr, c.flags),
                      NTE_BAD_SIGNATURE);
    CryptDestroyHash(hash);
    CryptDestroyKey(pub);
  }
  CryptReleaseContext(prov, 0);
}

TEST_F(SoftwareProvider, EncryptionTakesUpToKeySizeLessEleven) {
  HCRYPTPROV prov = newContainer("crypt", AT_KEYEXCHANGE, 1024);
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
  Bytes buffer(128);
  DWORD length = 118;
  EXPECT_FAILS_WITH(CryptEncrypt(key, 0, TRUE, 0, buffer.data(), &length, 128), NTE_BAD_LEN);
  length = 117;
  EXPECT_FAILS_WITH(CryptEncrypt(key, 0, TRUE, 0, buffer.data(), &length, 127), ERROR_MORE_DATA);
  EXPECT_EQ(length, 128u);
  Bytes plain(117);
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i + 1);
  std::copy(plain.begin(), plain.end(), buffer.begin());
  length = 117;
  ASSERT_TRUE(CryptEncrypt(key, 0, TRUE, 0, buffer.data(), &length, 128));
  EXPECT_EQ(length, 128u);
  // openssl decrypts the big-endian form.
  writeFile(dir() + "/c", Bytes(buffer.rbegin(), buffer.rend()));
  ASSERT_EQ(run("openssl pkeyutl -decrypt -inkey " + keyFolder() + "/crypt.pem -in " + dir() +
                "/c -out " + dir() + "/p"),
            0);
  EXPECT_EQ(readFile(dir() + "/p"), plain);
  Bytes copy = buffer;
  ASSERT_TRUE(CryptDecrypt(key, 0, TRUE, 0, buffer.data(), &length));
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), plain);
  copy[0] ^= 0x55;  // the least significant byte: the padding no longer decodes
  length = 128;
  EXPECT_FAILS_WITH(CryptDecrypt(key, 0, TRUE, 0, copy.data(), &length), NTE_BAD_DATA);
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
}

}  // namespace
}  // namespace kestrune::testing
