// Handing the PIN to a card's provider (a SoftHSM2 token behind the fault proxy, which counts
// the logins that reach the token and stands in for a card's refusals).
#include "tests/tvcapi/token_fixture.h"

#include <ostream>

#include "TVCAPI/core_internal.h"

namespace kestrune::testing::tvcapi_core {
namespace {

struct Outcome {
  int rc;
  bool reached;
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& outcome, std::ostream* out) {
  *out << outcome.rc << (outcome.reached ? ", reached the card" : ", spared the card");
}

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
  // Hands the PIN over with the card's faults set; the result and whether a login reached the
  // card.
  static Outcome hand(TVCAPIHandle* key, const char* pin, const char* faults = "") {
    setProxyFaults(faults);
    const std::uint64_t before = proxyCalls("C_Login");
    const int rc = TVXCAPI_SetPrivateKeyPin(key, pin, 0);
    const bool reached = proxyCalls("C_Login") > before;
    setProxyFaults("");
    return {rc, reached};
  }

  TVCAPIHandle* cert_ = nullptr;
  TVCAPIHandle* key_ = nullptr;
};

constexpr const char* kRefused = "C_Login=0xA0";  // CKR_PIN_INCORRECT
constexpr const char* kLocked = "C_Login=0xA4";   // CKR_PIN_LOCKED

TEST_F(KeyPinTest, OnlyTheAcceptedPinIsSpared) {
  EXPECT_EQ((Outcome{5071, true}), hand(key_, "000000"));
  EXPECT_FALSE(tvxCAPIPinCacheHeld());  // a refused PIN is not kept
  EXPECT_EQ((Outcome{0, true}), hand(key_, kUserPin));
  EXPECT_TRUE(tvxCAPIPinCacheHeld());
  EXPECT_EQ((Outcome{0, false}), hand(key_, kUserPin));  // the same PIN, the same key: spared
  // Any other PIN reaches the card; refused, it leaves the accepted one cached.
  EXPECT_EQ((Outcome{5071, true}), hand(key_, "654321", kRefused));
  EXPECT_EQ((Outcome{5072, true}), hand(key_, "111111", kLocked));
  EXPECT_EQ((Outcome{0, false}), hand(key_, kUserPin));
  // A prefix or an extension of the cached PIN is another PIN.
  EXPECT_EQ((Outcome{5071, true}), hand(key_, "12345", kRefused));
  EXPECT_EQ((Outcome{5071, true}), hand(key_, "1234567", kRefused));
}

TEST_F(KeyPinTest, AnotherKeyReachesItsProvider) {
  ASSERT_EQ((Outcome{0, true}), hand(key_, kUserPin));
  TVCAPIHandle* second = nullptr;
  ASSERT_EQ(0, TVXCAPI_GetPrivateKey(cert_, &second));
  EXPECT_EQ((Outcome{5071, true}), hand(second, kUserPin, kRefused));
  EXPECT_EQ((Outcome{0, false}), hand(key_, kUserPin));  // still cached for the first
  EXPECT_EQ((Outcome{0, true}), hand(second, kUserPin));
  // The cache now belongs to the second key; freeing it wipes the cache.
  TVXCAPI_FreeHandle(second);
  EXPECT_FALSE(tvxCAPIPinCacheHeld());
  EXPECT_EQ((Outcome{0, true}), hand(key_, kUserPin));
}

TEST_F(KeyPinTest, EndOfTheSessionWipesTheCache) {
  ASSERT_EQ((Outcome{0, true}), hand(key_, kUserPin));
  TVXCAPI_ReleaseCSP(0);
  EXPECT_FALSE(tvxCAPIPinCacheHeld());
  ASSERT_EQ(0, TVXCAPI_AcquireCSP("Proxied"));
  EXPECT_EQ((Outcome{0, true}), hand(key_, kUserPin));
}

// The cache holds 23 characters; a longer PIN is never cut to fit and always reaches the card.
TEST_F(KeyPinTest, LongPinsAreNotCached) {
  EXPECT_EQ((Outcome{5071, true}), hand(key_, std::string(30, '7').c_str()));  // too long
  ASSERT_EQ((Outcome{0, true}), hand(key_, kUserPin));
  const std::string sharedStart = std::string(kUserPin) + std::string(24, '0');
  EXPECT_EQ((Outcome{5071, true}), hand(key_, sharedStart.c_str(), kRefused));
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
}  // namespace kestrune::testing::tvcapi_core
