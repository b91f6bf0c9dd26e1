// setCardSN and getCardSN: the card serial number in "EOICARDSN".
#include <gtest/gtest.h>

#include <string>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "tests/control/control_test_support.h"
#include "tests/control/identity_layouts.h"
#include "tests/support/softhsm.h"

namespace kestrune {
namespace {

using testing::Bytes;
using testing::u16;

class CardSerial : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::proxyModule())));
  }
  void TearDown() override { testing::setProxyFaults(""); }

  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
};

TEST_F(CardSerial, IsWrittenAndReplacedWithoutAPin) {
  EXPECT_EQ(std::nullopt, control.getCardSN());
  EXPECT_EQ(+ControlCode::kReadFailed, control.getErrorCode());

  EXPECT_EQ(+ControlCode::kOk, control.setCardSN(u"CARD-0001"));
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  EXPECT_EQ(u"CARD-0001", control.getCardSN());
  EXPECT_EQ(+ControlCode::kOk, control.setCardSN(u"CARD-0002"));
  EXPECT_EQ(u"CARD-0002", control.getCardSN());
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());

  control.close();
  const std::string stored = "CARD-0002";
  Bytes withZero(stored.begin(), stored.end());
  withZero.push_back(0);
  EXPECT_EQ(withZero, hsm.attribute(0, "EOICARDSN", CKA_VALUE));
}

TEST_F(CardSerial, SetAnswersOneAndLeavesTheReasonInTheErrorCode) {
  struct Case {
    const char* faults;
    std::int32_t code;
  };
  const Case cases[] = {
      {"C_Initialize=0x5", +ControlCode::kTokenInitFailed},  // the token can't be connected
      {"C_CreateObject=0x31", +ControlCode::kTokenMemoryFull},
      {"C_CreateObject=0x5", +ControlCode::kWriteFailed},
      {"C_DestroyObject=0x5", +ControlCode::kDeleteFailed},
  };
  ASSERT_EQ(+ControlCode::kOk, control.setCardSN(u"CARD-0001"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    control.close();
    testing::setProxyFaults(c.faults);
    EXPECT_EQ(+ControlCode::kNotCompleted, control.setCardSN(u"CARD-0002"));
    EXPECT_EQ(c.code, control.getErrorCode());
    testing::setProxyFaults("");
    ASSERT_EQ(+ControlCode::kOk, control.setCardSN(u"CARD-0001"));
  }
  const char16_t loneSurrogate[] = {u'C', 0xDC00};
  EXPECT_EQ(+ControlCode::kNotCompleted, control.setCardSN(std::u16string_view(loneSurrogate, 2)));
  EXPECT_EQ(+ControlCode::kBadText, control.getErrorCode());
  EXPECT_EQ(u"CARD-0001", control.getCardSN());
}

TEST_F(CardSerial, GetServesUpTo255Bytes) {
  const std::u16string longest(255, u'7');
  ASSERT_EQ(+ControlCode::kOk, control.setCardSN(longest));
  EXPECT_EQ(longest, control.getCardSN());

  // A longer value is refused rather than cut.
  ASSERT_EQ(+ControlCode::kOk, control.setCardSN(longest + u"8"));
  EXPECT_EQ(std::nullopt, control.getCardSN());
  EXPECT_EQ(+ControlCode::kReadFailed, control.getErrorCode());
}

TEST(CardSerialWithoutLibrary, GivesTheConnectionCode) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  EXPECT_EQ(+ControlCode::kNotCompleted, control.setCardSN(u"CARD-0001"));
  EXPECT_EQ(+ControlCode::kTokenFailure, control.getErrorCode());
  EXPECT_EQ(std::nullopt, control.getCardSN());
  EXPECT_EQ(+ControlCode::kTokenFailure, control.getErrorCode());
}

}  // namespace
}  // namespace kestrune
