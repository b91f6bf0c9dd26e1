// close, getErrorCode, TV_GETVersion, setTestVersion, setP11CryptReinit.
#include <gtest/gtest.h>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/ca_record_selection.h"
#include "control/session_state.h"
#include "tests/control/control_test_support.h"
#include "tests/support/softhsm.h"
#include "token/token.h"

namespace kestrune {
namespace {

using testing::u16;

TEST(Close, WithoutASessionKeepsTheLastErrorCode) {
  TVFEDIMiniKeyCrypt control;
  EXPECT_EQ(+ControlCode::kTokenFailure, control.loadLib(u"/nonexistent/libnothing.so"));
  control.close();
  EXPECT_EQ(+ControlCode::kTokenFailure, control.getErrorCode());
  EXPECT_FALSE(control::sessionOpen());
}

TEST(Close, WithASessionKeepsTheLastErrorCode) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(+ControlCode::kOk, control.setCurrentSlot(0));
  const char16_t loneSurrogate[] = {0xD800};
  ASSERT_EQ(+ControlCode::kNotCompleted, control.loadLib(std::u16string_view(loneSurrogate, 1)));
  ASSERT_EQ(+ControlCode::kBadText, control.getErrorCode());
  ASSERT_TRUE(control::sessionOpen());
  control.close();
  EXPECT_FALSE(control::sessionOpen());
  EXPECT_EQ(+ControlCode::kBadText, control.getErrorCode());
}

TEST(TVGetVersion, GivesTheFileVersionWithoutSpaces) {
  TVFEDIMiniKeyCrypt control;
  EXPECT_EQ(u"1,0,0,0", control.TV_GETVersion(0));
  EXPECT_EQ(u"1,0,0,0", control.TV_GETVersion(12345));
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
}

TEST(SetTestVersion, SwitchesTheProcessWideSelection) {
  TVFEDIMiniKeyCrypt control;
  TVFEDIMiniKeyCrypt other;
  EXPECT_EQ(control::CaRecordSelection::production, control::selectedCaRecord());
  struct Step {
    TVFEDIMiniKeyCrypt* instance;
    std::int32_t iTest;
    control::CaRecordSelection want;
  };
  const Step steps[] = {
      {&control, 1, control::CaRecordSelection::test},
      {&control, 1, control::CaRecordSelection::test},
      {&other, -5, control::CaRecordSelection::test},
      {&other, 0, control::CaRecordSelection::production},
      {&control, 0, control::CaRecordSelection::production},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.iTest);
    step.instance->setTestVersion(step.iTest);
    EXPECT_EQ(step.want, control::selectedCaRecord());
  }
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
}

TEST(SetP11CryptReinit, PassesTheFlagToTheTokenLayer) {
  TVFEDIMiniKeyCrypt control;
  const std::int32_t flags[] = {1, 0, 2};
  for (const auto flag : flags) {
    SCOPED_TRACE(flag);
    control.setP11CryptReinit(flag);
    EXPECT_EQ(flag, token::p11_GetReinit());
  }
}

}  // namespace
}  // namespace kestrune
