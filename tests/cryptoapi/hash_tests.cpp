// Hash objects: values against known digests, sizes, set values and the finished state.
#include "tests/cryptoapi/provider_test_env.h"

namespace kestrune::testing {
namespace {

class HashTest : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    ASSERT_TRUE(CryptAcquireContextA(&prov_, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  }
  void TearDown() override {
    CryptReleaseContext(prov_, 0);
    ProviderTest::TearDown();
  }
  HCRYPTPROV prov_ = 0;
};

TEST_F(HashTest, ValuesAndSizesOfSha1AndMd5) {
  struct Case {
    ALG_ID algorithm;
    const char* digestOfAbc;
  } cases[] = {{CALG_SHA1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
               {CALG_MD5, "900150983cd24fb0d6963f7d28e17f72"}};
  for (const auto& c : cases) {
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov_, c.algorithm, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("ab"), 2, 0));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("c"), 1, 0));
    DWORD word = 0, length = sizeof word;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_ALGID, reinterpret_cast<BYTE*>(&word), &length, 0));
    EXPECT_EQ(word, c.algorithm);
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&word), &length, 0));
    EXPECT_EQ(word * 2, std::string(c.digestOfAbc).size());
    length = 0;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &length, 0));
    EXPECT_EQ(length, word);
    Bytes small(length - 1);
    DWORD smallLength = length - 1;
    EXPECT_FAILS_WITH(CryptGetHashParam(hash, HP_HASHVAL, small.data(), &smallLength, 0),
                      ERROR_MORE_DATA);
    EXPECT_EQ(smallLength, length);
    Bytes value(length);
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value.data(), &length, 0));
    EXPECT_EQ(hex(value), c.digestOfAbc);
    // A read value finishes the hash.
    EXPECT_FAILS_WITH(CryptHashData(hash, value.data(), 1, 0), NTE_BAD_HASH_STATE);
    EXPECT_TRUE(CryptDestroyHash(hash));
  }
}

TEST_F(HashTest, SetValueIsReadBackAndUnknownAlgorithmsAreRefused) {
  HCRYPTHASH hash = 0;
  EXPECT_FAILS_WITH(CryptCreateHash(prov_, 0x800C, 0, 0, &hash), NTE_BAD_ALGID);
  ASSERT_TRUE(CryptCreateHash(prov_, CALG_SHA1, 0, 0, &hash));
  Bytes value(20);
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, value.data(), 0));
  Bytes back(20);
  DWORD length = 20;
  ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, back.data(), &length, 0));
  EXPECT_EQ(back, value);
  EXPECT_FAILS_WITH(CryptSetHashParam(hash, HP_ALGID, value.data(), 0), NTE_BAD_TYPE);
  EXPECT_TRUE(CryptDestroyHash(hash));
  EXPECT_FAILS_WITH(CryptDestroyHash(hash), NTE_BAD_HASH);
}

}  // namespace
}  // namespace kestrune::testing
