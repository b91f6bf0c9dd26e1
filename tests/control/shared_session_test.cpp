// Every control instance in the process works on the one token session.
#include <gtest/gtest.h>

#include <memory>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/session_state.h"
#include "tests/control/control_test_support.h"
#include "tests/support/softhsm.h"
#include "token/token.h"

namespace kestrune {
namespace {

using testing::kUserPin;
using testing::u16;

TEST(SharedSession, LoginAndClosingOnOneInstanceAreSeenByTheOther) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt first;
  TVFEDIMiniKeyCrypt second;
  ASSERT_EQ(+ControlCode::kOk, first.loadLib(u16(testing::proxyModule())));
  ASSERT_EQ(+ControlCode::kOk, first.checkPassword(u16(kUserPin)));
  EXPECT_TRUE(control::sessionOpen());
  EXPECT_EQ(1, control::pinVerifiedFlag());

  // The second instance finds the session open: it neither opens nor logs in again.
  testing::resetProxyCalls();
  EXPECT_EQ(+ControlCode::kOk, second.setCurrentSlot(0));
  EXPECT_EQ(0u, testing::proxyCalls("C_OpenSession"));
  EXPECT_EQ(0u, testing::proxyCalls("C_Login"));
  EXPECT_EQ(1, control::pinVerifiedFlag());

  second.close();
  EXPECT_FALSE(control::sessionOpen());
  EXPECT_EQ(0, control::pinVerifiedFlag());
  EXPECT_EQ(1u, testing::proxyCalls("C_CloseSession"));

  // The first instance now opens a fresh session, without a login.
  EXPECT_EQ(+ControlCode::kOk, first.setCurrentSlot(0));
  EXPECT_EQ(1u, testing::proxyCalls("C_OpenSession"));
  EXPECT_TRUE(control::sessionOpen());
  EXPECT_EQ(0, control::pinVerifiedFlag());
}

TEST(SharedSession, DestroyingOneInstanceClosesTheSessionOfAll) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt survivor;
  auto leaving = std::make_unique<TVFEDIMiniKeyCrypt>();
  ASSERT_EQ(+ControlCode::kOk, survivor.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(+ControlCode::kOk, survivor.checkPassword(u16(kUserPin)));

  leaving.reset();
  EXPECT_FALSE(control::sessionOpen());
  EXPECT_EQ(0, control::pinVerifiedFlag());
  EXPECT_EQ(0u, token::p11_LibraryCount());

  // Every library is gone as well: the survivor can't reach the token until it loads one.
  EXPECT_EQ(+ControlCode::kTokenFailure, survivor.setCurrentSlot(0));
  EXPECT_FALSE(control::sessionOpen());
  EXPECT_EQ(+ControlCode::kOk, survivor.loadLib(u16(testing::softHsmModule())));
  EXPECT_EQ(+ControlCode::kOk, survivor.checkPassword(u16(kUserPin)));
}

// A host may keep its control in a static that outlives the control layer's own statics;
// its destruction at exit must still close the session cleanly (the sanitizer build checks).
TEST(SharedSession, AControlInAStaticClosesItsSessionAtExit) {
  EXPECT_EXIT(
      {
        static testing::SoftHsm hsm;
        static TVFEDIMiniKeyCrypt control;
        if (control.loadLib(u16(testing::softHsmModule())) != +ControlCode::kOk) std::_Exit(3);
        if (control.checkPassword(u16(kUserPin)) != +ControlCode::kOk) std::_Exit(4);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kestrune
