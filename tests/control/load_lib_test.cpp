// loadLib: choosing the PKCS#11 library, and what a change of library does to the session.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/session_state.h"
#include "tests/control/control_test_support.h"
#include "tests/support/softhsm.h"
#include "token/token.h"

namespace kestrune {
namespace {

using testing::kUserPin;
using testing::u16;

TEST(LoadLib, TheSameNameAgainKeepsTheSession) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));

  EXPECT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  EXPECT_TRUE(control::sessionOpen());
  EXPECT_EQ(1, control::pinVerifiedFlag());
  EXPECT_EQ(1u, token::p11_LibraryCount());
}

TEST(LoadLib, AnotherNameClosesTheSessionAndUnloads) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));

  EXPECT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::proxyModule())));
  EXPECT_FALSE(control::sessionOpen());
  EXPECT_EQ(0, control::pinVerifiedFlag());
  EXPECT_EQ(1u, token::p11_LibraryCount());

  testing::resetProxyCalls();
  EXPECT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  EXPECT_EQ(1u, testing::proxyCalls("C_Login"));
}

TEST(LoadLib, ALibraryThatCannotBeLoadedGives1500) {
  TVFEDIMiniKeyCrypt control;
  EXPECT_EQ(+ControlCode::kTokenFailure, control.loadLib(u"/nonexistent/libnothing.so"));
  EXPECT_EQ(+ControlCode::kTokenFailure, control.getErrorCode());
  EXPECT_EQ(0u, token::p11_LibraryCount());
}

// The result stays 1 (not completed) while lastErrorCode tells why.
TEST(LoadLib, AnUnconvertibleNameGives3AndChangesNothing) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));

  const char16_t loneSurrogate[] = {u'l', u'i', u'b', 0xDC00};
  EXPECT_EQ(+ControlCode::kNotCompleted, control.loadLib(std::u16string_view(loneSurrogate, 4)));
  EXPECT_EQ(+ControlCode::kBadText, control.getErrorCode());
  EXPECT_TRUE(control::sessionOpen());
  EXPECT_EQ(1u, token::p11_LibraryCount());
}

// Names are served up to the 255 bytes the field holds; a longer one is refused with 502
// before anything changes, rather than cut to the name of some other library.
TEST(LoadLib, NamesUpTo255BytesAreServedAndLongerOnesRefused) {
  testing::SoftHsm hsm;
  const auto linkTo = [&](std::size_t length) {
    std::string path = hsm.dir() + "/";
    path.append(length - path.size(), 'm');
    EXPECT_EQ(0, ::symlink(testing::softHsmModule(), path.c_str())) << path;
    return path;
  };
  ASSERT_LT(hsm.dir().size(), 200u);
  const std::string longest = linkTo(255);
  const std::string tooLong = linkTo(256);

  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(longest)));
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));

  EXPECT_EQ(+ControlCode::kTextBufferFailed, control.loadLib(u16(tooLong)));
  EXPECT_EQ(+ControlCode::kTextBufferFailed, control.getErrorCode());
  EXPECT_TRUE(control::sessionOpen());
  EXPECT_EQ(1, control::pinVerifiedFlag());
  EXPECT_EQ(1u, token::p11_LibraryCount());

  // The field still holds the 255-byte name: loading it again keeps the session.
  EXPECT_EQ(+ControlCode::kOk, control.loadLib(u16(longest)));
  EXPECT_TRUE(control::sessionOpen());
}

}  // namespace
}  // namespace kestrune
