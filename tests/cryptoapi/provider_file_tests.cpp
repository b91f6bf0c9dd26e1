// The provider file's reader: the one shape it accepts, and what it ignores.
#include <filesystem>
#include <string>

#include "platform/linux/cryptoapi/providers/provider_config.h"
#include "tests/cryptoapi/provider_test_env.h"

namespace kestrune::testing {
namespace {

using cryptoapi::findProviderEntry;

TEST(ProviderFile, AcceptsOnlyTheExpectedShape) {
  struct Case {
    const char* json;
    bool found;
    const char* module;
    const char* token;
  } cases[] = {
      {R"({"Card": {"pkcs11": "m.so", "token": "T1"}})", true, "m.so", "T1"},
      {R"({"Card": {"pkcs11": "m.so"}, "Other": 1})", true, "m.so", ""},
      {R"({"Card": {"pkcs11": 7}})", false, "", ""},
      {R"({"Card": {"pkcs11": ""}})", false, "", ""},
      {R"({"Card": {"pkcs11": "a\u0000b"}})", false, "", ""},
      {R"({"Card": {"pkcs11": "m.so", "token": []}})", false, "", ""},
      {R"({"card": {"pkcs11": "m.so"}})", false, "", ""},
      {R"(["Card"])", false, "", ""},
      {R"({"Card": {"pkcs11": "m.so")", false, "", ""},
      {"\xff\xfe{", false, "", ""},
  };
  for (const auto& c : cases) {
    auto entry = findProviderEntry(c.json, "Card");
    ASSERT_EQ(entry.has_value(), c.found) << c.json;
    if (!entry) continue;
    EXPECT_EQ(entry->module, c.module);
    EXPECT_EQ(entry->tokenLabel, c.token);
  }
  EXPECT_FALSE(findProviderEntry(std::string(100000, '['), "Card"));
}

using KeySetPlaces = ProviderTest;

TEST_F(KeySetPlaces, MachineKeySetsLieBesideTheMachineStoresAndEphemeralKeysNowhere) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "shared", nullptr, PROV_RSA_FULL,
                                   CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET));
  EXPECT_TRUE(CryptSetProvParam(prov, PP_KEYSET_SEC_DESCR, nullptr, DACL_SECURITY_INFORMATION));
  CryptReleaseContext(prov, 0);
  // An empty key set is an empty file.
  EXPECT_TRUE(std::filesystem::exists(dir() + "/machine/keys/shared.pem"));
  EXPECT_TRUE(readFile(dir() + "/machine/keys/shared.pem").empty());
  EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "shared", nullptr, PROV_RSA_FULL, 0),
                    NTE_BAD_KEYSET);
  ASSERT_TRUE(CryptAcquireContextA(&prov, "shared", nullptr, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET));
  CryptReleaseContext(prov, 0);

  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 512u << 16, &key));
  DWORD length = 0;
  EXPECT_FAILS_WITH(CryptGetProvParam(prov, PP_CONTAINER, nullptr, &length, 0), NTE_BAD_KEYSET);
  EXPECT_FALSE(std::filesystem::exists(keyFolder()));
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
}

}  // namespace
}  // namespace kestrune::testing
