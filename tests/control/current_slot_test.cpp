// setCurrentSlot: the slot takes effect when the next session opens.
#include <gtest/gtest.h>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/session_state.h"
#include "tests/control/control_test_support.h"
#include "tests/support/softhsm.h"

namespace kestrune {
namespace {

using testing::kUserPin;
using testing::u16;

// token0 is a Linkway token, token1 a SafeNet token: getType tells which one is open.
class CurrentSlot : public ::testing::Test {
 protected:
  void SetUp() override {
    hsm_.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
    hsm_.generateKeyPair(1, "A FEDI RSA Public Key", "A FEDI RSA PRIVATE Key", 512);
    ASSERT_EQ(+ControlCode::kOk, control_.loadLib(u16(testing::softHsmModule())));
  }

  testing::SoftHsm hsm_{2};
  TVFEDIMiniKeyCrypt control_;
};

TEST_F(CurrentSlot, AnOpenSessionStaysOnItsSlotUntilClosed) {
  EXPECT_EQ(+ControlCode::kOk, control_.setCurrentSlot(1));
  EXPECT_EQ(u"SafeNet", control_.getType());

  EXPECT_EQ(+ControlCode::kOk, control_.setCurrentSlot(0));
  EXPECT_EQ(+ControlCode::kOk, control_.getErrorCode());
  EXPECT_EQ(u"SafeNet", control_.getType());

  control_.close();
  EXPECT_EQ(+ControlCode::kOk, control_.setCurrentSlot(0));
  EXPECT_TRUE(control::sessionOpen());
  EXPECT_EQ(u"Linkway", control_.getType());
}

TEST_F(CurrentSlot, CheckPasswordReopensOnTheNewSlot) {
  ASSERT_EQ(+ControlCode::kOk, control_.checkPassword(u16(kUserPin)));
  EXPECT_EQ(u"Linkway", control_.getType());
  EXPECT_EQ(+ControlCode::kOk, control_.setCurrentSlot(1));
  EXPECT_EQ(u"Linkway", control_.getType());
  EXPECT_EQ(+ControlCode::kOk, control_.checkPassword(u16(kUserPin)));
  EXPECT_EQ(u"SafeNet", control_.getType());
}

TEST_F(CurrentSlot, AnIndexBeyondTheSlotsFallsBackToTheFirst) {
  const std::int32_t beyond[] = {7, -1};
  for (const auto index : beyond) {
    SCOPED_TRACE(index);
    control_.close();
    EXPECT_EQ(+ControlCode::kOk, control_.setCurrentSlot(index));
    EXPECT_EQ(u"Linkway", control_.getType());
  }
}

}  // namespace
}  // namespace kestrune
