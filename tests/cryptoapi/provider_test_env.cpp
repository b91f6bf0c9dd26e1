#include "tests/cryptoapi/provider_test_env.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kestrune::testing {

void ProviderTest::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-prov-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  dir_ = pattern;
  setenv("XDG_DATA_HOME", (dir_ + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
  setenv("KESTRUNE_MACHINE_STORES", (dir_ + "/machine/stores").c_str(), 1);
}

void ProviderTest::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void ProviderTest::writeProviders(const std::string& json) {
  std::filesystem::create_directories(dir_ + "/config/kestrune");
  std::ofstream(dir_ + "/config/kestrune/providers.json") << json;
}

HCRYPTPROV ProviderTest::newContainer(const char* name, DWORD keySpec, DWORD bits, DWORD flags) {
  HCRYPTPROV prov = 0;
  EXPECT_TRUE(CryptAcquireContextA(&prov, name, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET))
      << std::hex << GetLastError();
  if (keySpec != 0) {
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGenKey(prov, keySpec, (bits << 16) | flags, &key))
        << std::hex << GetLastError();
    CryptDestroyKey(key);
  }
  return prov;
}

std::string hex(const Bytes& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

int run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

HCRYPTHASH sha1Of(HCRYPTPROV prov, const std::string& data) {
  HCRYPTHASH hash = 0;
  EXPECT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
  EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()),
                            static_cast<DWORD>(data.size()), 0));
  return hash;
}

}  // namespace kestrune::testing
