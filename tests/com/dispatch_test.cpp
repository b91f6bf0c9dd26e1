#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/dispatch.h"
#include "com/method_table.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "platform/platform.h"
#include "tests/support/softhsm.h"

namespace kestrune::com {
namespace {

std::int32_t dispid(const char* name) {
  const std::int32_t id = dispidOf(name);
  EXPECT_NE(kDispidUnknown, id) << name;
  return id;
}

std::u16string u16(std::string_view ascii) {
  return {ascii.begin(), ascii.end()};
}

class Dispatch : public ::testing::Test {
 protected:
  TVFEDIMiniKeyCrypt control;
  Variant result = Variant(std::int32_t{-7});  // anything but empty: invoke must reset it
};

TEST_F(Dispatch, UnknownDispidIsNoMember) {
  for (std::int32_t id : {-1, 0, 46, 48, 62}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(kMemberNotFound, invoke(control, id, {}, result));
    EXPECT_TRUE(result.isEmpty());
  }
}

TEST_F(Dispatch, WrongArgumentCountIsRefused) {
  const std::vector<Variant> none;
  const std::vector<Variant> two = {Variant(u"a"), Variant(u"b")};
  EXPECT_EQ(kBadParamCount, invoke(control, dispid("loadLib"), none, result));
  EXPECT_TRUE(result.isEmpty());
  EXPECT_EQ(kBadParamCount, invoke(control, dispid("loadLib"), two, result));
  const std::vector<Variant> one = {Variant(std::int32_t{1})};
  EXPECT_EQ(kBadParamCount, invoke(control, dispid("getErrorCode"), one, result));
  // Counts are checked before the method's own availability.
  EXPECT_EQ(kBadParamCount, invoke(control, dispid("getSID1"), one, result));
}

TEST_F(Dispatch, WrongArgumentKindsAreRefusedWithTheirPosition) {
  struct Case {
    const char* method;
    std::vector<Variant> args;
    std::size_t badArgument;
  };
  const Case cases[] = {
      {"loadLib", {Variant(std::int32_t{5})}, 0},
      {"loadLib", {Variant(kNull)}, 0},
      {"loadLib", {Variant()}, 0},
      {"setCurrentSlot", {Variant(u"0")}, 0},
      {"checkPassword", {Variant(std::int32_t{123456})}, 0},
      {"makeRequestCert", {Variant(std::int32_t{1}), Variant(std::int32_t{2}), Variant(u"x")}, 1},
      {"FEDIMessageSignWithCSP",
       {Variant(u"d"), Variant(u"s"), Variant(u"i"), Variant(u"p"), Variant(u"n"),
        Variant(std::int32_t{0}), Variant(u"1")},
       6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    std::size_t badArgument = 99;
    EXPECT_EQ(kTypeMismatch, invoke(control, dispid(c.method), c.args, result, &badArgument));
    EXPECT_EQ(c.badArgument, badArgument);
    EXPECT_TRUE(result.isEmpty());
  }
}

TEST_F(Dispatch, ResultsKeepTheirKinds) {
  // No library is loaded: the token methods fail, which shows the I4 codes and the null text.
  EXPECT_EQ(kSuccess, invoke(control, dispid("getErrorCode"), {}, result));
  EXPECT_EQ(Variant(std::int32_t{0}), result);

  EXPECT_EQ(kSuccess, invoke(control, dispid("getType"), {}, result));
  EXPECT_TRUE(result.isNull());
  EXPECT_EQ(kSuccess, invoke(control, dispid("GETERRORCODE"), {}, result));
  EXPECT_EQ(Variant(std::int32_t{+ControlCode::kTokenFailure}), result);

  const std::vector<Variant> slot = {Variant(std::int32_t{0})};
  EXPECT_EQ(kSuccess, invoke(control, dispid("setCurrentSlot"), slot, result));
  EXPECT_EQ(Variant(std::int32_t{+ControlCode::kTokenFailure}), result);

  std::string version = platform::moduleFileVersion();
  std::erase(version, ' ');
  const std::vector<Variant> flag = {Variant(std::int32_t{0})};
  EXPECT_EQ(kSuccess, invoke(control, dispid("TV_GETVersion"), flag, result));
  ASSERT_TRUE(result.isText());
  EXPECT_EQ(u16(version), result.asText());
}

TEST_F(Dispatch, MethodsWithoutResultLeaveItEmpty) {
  const std::vector<Variant> one = {Variant(std::int32_t{1})};
  const std::vector<Variant> zero = {Variant(std::int32_t{0})};
  for (const char* name :
       {"setTestVersion", "setP11CryptReinit", "showDebugMessage", "setTokenType"}) {
    SCOPED_TRACE(name);
    result = Variant(std::int32_t{-7});
    EXPECT_EQ(kSuccess, invoke(control, dispid(name), one, result));
    EXPECT_TRUE(result.isEmpty());
    EXPECT_EQ(kSuccess, invoke(control, dispid(name), zero, result));
  }
  // close has an I4 result in the interface but writes nothing to it.
  EXPECT_EQ(kSuccess, invoke(control, dispid("close"), {}, result));
  EXPECT_TRUE(result.isEmpty());
}

TEST_F(Dispatch, SessionMethodsReachTheToken) {
  testing::SoftHsm hsm;
  const std::vector<Variant> library = {Variant(u16(testing::softHsmModule()))};
  ASSERT_EQ(kSuccess, invoke(control, dispid("loadLib"), library, result));
  EXPECT_EQ(Variant(std::int32_t{+ControlCode::kOk}), result);

  const std::vector<Variant> wrong = {Variant(u"\u5bc6\u78bc")};
  EXPECT_EQ(kSuccess, invoke(control, dispid("checkPassword"), wrong, result));
  EXPECT_EQ(Variant(std::int32_t{+ControlCode::kPinRefused}), result);

  const std::vector<Variant> right = {Variant(u16(testing::kUserPin))};
  EXPECT_EQ(kSuccess, invoke(control, dispid("checkPassword"), right, result));
  EXPECT_EQ(Variant(std::int32_t{+ControlCode::kOk}), result);

  EXPECT_EQ(kSuccess, invoke(control, dispid("close"), {}, result));
  EXPECT_TRUE(result.isEmpty());
  EXPECT_EQ(kSuccess, invoke(control, dispid("getErrorCode"), {}, result));
  EXPECT_EQ(Variant(std::int32_t{+ControlCode::kOk}), result);
}

}  // namespace
}  // namespace kestrune::com
