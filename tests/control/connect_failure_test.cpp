// How a failed connection to the token is reported.
#include <gtest/gtest.h>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/session_state.h"
#include "tests/control/control_test_support.h"
#include "tests/support/softhsm.h"

namespace kestrune {
namespace {

using testing::kUserPin;
using testing::u16;

TEST(ConnectToken, TokenFailuresMapToTheirCodesWithoutAMessage) {
  struct Case {
    const char* faults;
    std::int32_t want;
  };
  const Case cases[] = {
      {"C_Initialize=0x6", +ControlCode::kTokenInitFailed},
      {"C_GetSlotList=0x6", +ControlCode::kSlotListFailed},
      {"C_OpenSession=0x3", +ControlCode::kSessionFailed},
      {"C_GetSessionInfo=0x5", +ControlCode::kSessionFailed},
      {"C_Login=0xA0", +ControlCode::kPinRefused},
      {"C_Login=0xA4", +ControlCode::kPinLocked},
  };
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::proxyModule())));
  control.showDebugMessage(1);
  testing::MessageRecorder messages;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    testing::setProxyFaults(c.faults);
    EXPECT_EQ(c.want, control.checkPassword(u16(kUserPin)));
    EXPECT_EQ(c.want, control.getErrorCode());
    EXPECT_FALSE(control::sessionOpen());
    EXPECT_EQ(0, control::pinVerifiedFlag());
    testing::setProxyFaults("");
  }
  EXPECT_TRUE(messages.shown().empty());
  // Nothing is left behind that would stop the next connection.
  EXPECT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
}

TEST(ConnectToken, OtherFailuresShowTheTokenCodeOnlyWhenDebugIsOne) {
  struct Case {
    std::int32_t showDebug;
    bool shown;
  };
  const Case cases[] = {{0, false}, {1, true}, {2, false}, {-1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.showDebug);
    TVFEDIMiniKeyCrypt control;  // no library loaded: the token layer answers 129
    control.showDebugMessage(c.showDebug);
    testing::MessageRecorder messages;
    EXPECT_EQ(+ControlCode::kTokenFailure, control.setCurrentSlot(0));
    EXPECT_EQ(+ControlCode::kTokenFailure, control.getErrorCode());
    if (c.shown) {
      ASSERT_EQ(1u, messages.shown().size());
      EXPECT_EQ("81", messages.shown()[0].text);
      EXPECT_EQ("connectToken", messages.shown()[0].caption);
    } else {
      EXPECT_TRUE(messages.shown().empty());
    }
  }
}

TEST(ConnectToken, NoTokenPresentIsAGeneralFailureShowingItsCode) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::proxyModule())));
  control.showDebugMessage(1);
  testing::MessageRecorder messages;
  testing::setProxyFaults("C_GetSlotList=empty");
  EXPECT_EQ(+ControlCode::kTokenFailure, control.checkPassword(u16(kUserPin)));
  EXPECT_FALSE(control::sessionOpen());
  ASSERT_EQ(1u, messages.shown().size());
  EXPECT_EQ("69", messages.shown()[0].text);  // the token layer's 105
  EXPECT_EQ("connectToken", messages.shown()[0].caption);
  testing::setProxyFaults("");
}

TEST(ConnectToken, GetTypeWithoutALibraryReportsTheConnection) {
  TVFEDIMiniKeyCrypt control;
  EXPECT_EQ(std::nullopt, control.getType());
  EXPECT_EQ(+ControlCode::kTokenFailure, control.getErrorCode());
}

}  // namespace
}  // namespace kestrune
