// checkPassword: a fresh session with a login, every time.
#include <gtest/gtest.h>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/session_state.h"
#include "tests/control/control_test_support.h"
#include "tests/support/softhsm.h"

namespace kestrune {
namespace {

using testing::kUserPin;
using testing::u16;

TEST(CheckPassword, WrongPinLeavesNoSessionAndTheRightOneLogsIn) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));

  EXPECT_EQ(+ControlCode::kPinRefused, control.checkPassword(u"654321"));
  EXPECT_EQ(+ControlCode::kPinRefused, control.getErrorCode());
  EXPECT_FALSE(control::sessionOpen());
  EXPECT_EQ(0, control::pinVerifiedFlag());

  EXPECT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  EXPECT_TRUE(control::sessionOpen());
  EXPECT_EQ(1, control::pinVerifiedFlag());

  control.close();
  EXPECT_FALSE(control::sessionOpen());
  EXPECT_EQ(0, control::pinVerifiedFlag());
}

TEST(CheckPassword, ClosesTheSessionAnotherInstanceHolds) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt holder;
  TVFEDIMiniKeyCrypt other;
  ASSERT_EQ(+ControlCode::kOk, holder.loadLib(u16(testing::proxyModule())));
  ASSERT_EQ(+ControlCode::kOk, holder.checkPassword(u16(kUserPin)));

  testing::resetProxyCalls();
  EXPECT_EQ(+ControlCode::kOk, other.checkPassword(u16(kUserPin)));
  EXPECT_EQ(1u, testing::proxyCalls("C_CloseSession"));
  EXPECT_EQ(1u, testing::proxyCalls("C_OpenSession"));
  EXPECT_EQ(1u, testing::proxyCalls("C_Login"));

  // A refused PIN on the other instance ends the holder's login too.
  EXPECT_EQ(+ControlCode::kPinRefused, other.checkPassword(u"000000"));
  EXPECT_FALSE(control::sessionOpen());
  EXPECT_EQ(0, control::pinVerifiedFlag());
}

TEST(CheckPassword, UnconvertiblePinFailsInItsBuffer) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));

  const char16_t loneSurrogate[] = {u'1', 0xD800, u'2'};
  EXPECT_EQ(+ControlCode::kTextBufferFailed,
            control.checkPassword(std::u16string_view(loneSurrogate, 3)));
  EXPECT_FALSE(control::sessionOpen());
  EXPECT_EQ(0, control::pinVerifiedFlag());

  // The PIN buffer holds 8191 bytes and the terminator.
  EXPECT_EQ(+ControlCode::kTextBufferFailed, control.checkPassword(std::u16string(8192, u'1')));
  EXPECT_EQ(+ControlCode::kPinRefused, control.checkPassword(std::u16string(8191, u'1')));
}

TEST(CheckPassword, LockedPinGives1517) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::proxyModule())));
  testing::setProxyFaults("C_Login=0xA4");
  EXPECT_EQ(+ControlCode::kPinLocked, control.checkPassword(u16(kUserPin)));
  EXPECT_FALSE(control::sessionOpen());
  EXPECT_EQ(0, control::pinVerifiedFlag());
  testing::setProxyFaults("");
}

}  // namespace
}  // namespace kestrune
