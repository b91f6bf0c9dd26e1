// Handing the PIN to a card's provider (a SoftHSM2 token behind the fault proxy, which counts
// the logins that reach the token and stands in for a card's refusals).
#include "tests/tvcapi/token_fixture.h"

#include "TVCAPI/core_internal.h"

namespace kestrune::testing {
namespace {

class KeyPinTest : public TokenCoreTest {
 protected:
  void SetUp() override {
    TokenCoreTest::SetUp();
    TVCAPIHandle* store = nullptr;
    ASSERT_EQ(0, TVXCAPI_LoadStoreFromCSP(&store, "Proxied", 0x80));
    auto certs = certificatesOf(store);
    TVXCAPI_FreeHandle(store);
    ASSERT_EQ(1u, certs.size());
    cert_ = certs[0];
    ASSERT_EQ(0, TVXCAPI_AcquireCSP("Proxied"));
    ASSERT_EQ(0, TVXCAPI_GetPrivateKey(cert_, &key_));
    resetProxyCalls();
  }
  void TearDown() override {
    TVXCAPI_FreeHandle(key_);
    TVXCAPI_FreeHandle(cert_);
    TokenCoreTest::TearDown();
  }
  std::uint64_t logins() { return proxyCalls("C_Login"); }

  TVCAPIHandle* cert_ = nullptr;
  TVCAPIHandle* key_ = nullptr;
};

TEST_F(KeyPinTest, OnlyTheAcceptedPinIsSpared) {
  EXPECT_EQ(5071, TVXCAPI_SetPrivateKeyPin(key_, "000000", 0));
  EXPECT_EQ(1u, logins());
  EXPECT_FALSE(tvxCAPIPinCacheHeld());  // a refused PIN is not kept
  ASSERT_EQ(0, TVXCAPI_SetPrivateKeyPin(key_, kUserPin, 0));
  EXPECT_EQ(2u, logins());
  EXPECT_TRUE(tvxCAPIPinCacheHeld());
  EXPECT_EQ(0, TVXCAPI_SetPrivateKeyPin(key_, kUserPin, 0));
  EXPECT_EQ(2u, logins());  // the same PIN for the same key: spared
  // Another PIN reaches the card, which refuses it; the accepted one stays cached.
  setProxyFaults("C_Login=0xA0");
  EXPECT_EQ(5071, TVXCAPI_SetPrivateKeyPin(key_, "654321", 0));
  EXPECT_EQ(3u, logins());
  setProxyFaults("C_Login=0xA4");
  EXPECT_EQ(5072, TVXCAPI_SetPrivateKeyPin(key_, "111111", 0));
  EXPECT_EQ(4u, logins());
  setProxyFaults("");
  EXPECT_EQ(0, TVXCAPI_SetPrivateKeyPin(key_, kUserPin, 0));
  EXPECT_EQ(4u, logins());
  // A prefix or an extension of the cached PIN is another PIN.
  setProxyFaults("C_Login=0xA0");
  EXPECT_EQ(5071, TVXCAPI_SetPrivateKeyPin(key_, "12345", 0));
  EXPECT_EQ(5071, TVXCAPI_SetPrivateKeyPin(key_, "1234567", 0));
  EXPECT_EQ(6u, logins());
}

TEST_F(KeyPinTest, AnotherKeyReachesItsProvider) {
  ASSERT_EQ(0, TVXCAPI_SetPrivateKeyPin(key_, kUserPin, 0));
  TVCAPIHandle* second = nullptr;
  ASSERT_EQ(0, TVXCAPI_GetPrivateKey(cert_, &second));
  setProxyFaults("C_Login=0xA0");
  EXPECT_EQ(5071, TVXCAPI_SetPrivateKeyPin(second, kUserPin, 0));
  EXPECT_EQ(2u, logins());
  setProxyFaults("");
  EXPECT_EQ(0, TVXCAPI_SetPrivateKeyPin(key_, kUserPin, 0));  // still cached for the first
  EXPECT_EQ(2u, logins());
  EXPECT_EQ(0, TVXCAPI_SetPrivateKeyPin(second, kUserPin, 0));
  EXPECT_EQ(3u, logins());
  // The cache now belongs to the second key; freeing it wipes the cache.
  TVXCAPI_FreeHandle(second);
  EXPECT_FALSE(tvxCAPIPinCacheHeld());
  EXPECT_EQ(0, TVXCAPI_SetPrivateKeyPin(key_, kUserPin, 0));
  EXPECT_EQ(4u, logins());
}

TEST_F(KeyPinTest, EndOfTheSessionWipesTheCache) {
  ASSERT_EQ(0, TVXCAPI_SetPrivateKeyPin(key_, kUserPin, 0));
  TVXCAPI_ReleaseCSP(0);
  EXPECT_FALSE(tvxCAPIPinCacheHeld());
  ASSERT_EQ(0, TVXCAPI_AcquireCSP("Proxied"));
  EXPECT_EQ(0, TVXCAPI_SetPrivateKeyPin(key_, kUserPin, 0));
  EXPECT_EQ(2u, logins());
}

// The cache holds 23 characters; a longer PIN is never cut to fit and always reaches the card.
TEST_F(KeyPinTest, LongPinsAreNotCached) {
  const std::string longPin(30, '7');
  EXPECT_EQ(5071, TVXCAPI_SetPrivateKeyPin(key_, longPin.c_str(), 0));  // SoftHSM: too long
  ASSERT_EQ(0, TVXCAPI_SetPrivateKeyPin(key_, kUserPin, 0));
  setProxyFaults("C_Login=0xA0");
  const std::string sharedStart = std::string(kUserPin) + std::string(24, '0');
  EXPECT_EQ(5071, TVXCAPI_SetPrivateKeyPin(key_, sharedStart.c_str(), 0));
  EXPECT_EQ(3u, logins());
}

// With the PIN handed over the card signs; openssl checks the signature with the certificate.
TEST_F(KeyPinTest, SignsOnTheCardOnceThePinIsIn) {
  const Bytes data = asBytes("USH+...UNT");
  TVCAPI_BLOB blob{0, nullptr};
  EXPECT_EQ(5061, TVXCAPI_PureSign(key_, data.data(), static_cast<uint32_t>(data.size()), 0x10002,
                                   &blob));
  ASSERT_EQ(0, TVXCAPI_SetPrivateKeyPin(key_, kUserPin, 0));
  ASSERT_EQ(
      0, TVXCAPI_PureSign(key_, data.data(), static_cast<uint32_t>(data.size()), 0x10002, &blob));
  writeFile(dir() + "/sig", taken(blob));
  writeFile(dir() + "/signed.bin", data);
  EXPECT_TRUE(run("openssl x509 -in " + certificatePem() + " -pubkey -noout > " + dir() +
                  "/pub.pem && openssl dgst -sha1 -verify " + dir() + "/pub.pem -signature " +
                  dir() + "/sig " + dir() + "/signed.bin"));
}

}  // namespace
}  // namespace kestrune::testing
