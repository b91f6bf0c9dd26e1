// opencryptoki's software token, the suite's second PKCS#11 module beside SoftHSM2.
//
// opencryptoki serves its tokens through one slot daemon per machine (pkcsslotd) and keeps
// the soft token's objects in one system folder (/var/lib/opencryptoki/swtok), so every test
// shares that one token: tests on it run one at a time (the CTest resource lock
// "opencryptoki"). A clean token per test comes from C_InitToken, which drops every object
// and the user PIN.
#pragma once

#include <string>

#include "tests/support/test_token.h"

namespace kestrune::testing {

// The opencryptoki module the control loads by path.
const char* openCryptokiModule();

// The soft token's SO PIN: opencryptoki's own default, never changed. After C_InitToken on a
// token whose SO PIN was changed, the SO can't log in at all (CKR_FUNCTION_FAILED) and only
// removing the token's data (with pkcsslotd stopped) starts over.
inline constexpr const char* kOpenCryptokiSoPin = "87654321";

// OpenCryptoki starts the slot daemon when it isn't running (this needs root or the pkcs11
// group), then initialises the soft token afresh as token 0, labelled "token0", with
// kUserPin. When the daemon can't run here, available() is false and why() says why: the
// test then skips. Any later failure of the set-up fails the test. The module keeps the user
// PIN to 4 to 8 characters and locks it after three wrong ones (a fresh initialisation
// unlocks it).
class OpenCryptoki : public TestToken {
 public:
  OpenCryptoki();

  bool available() const { return why_.empty(); }
  const std::string& why() const { return why_; }

 private:
  void initialiseToken();

  std::string why_;
};

}  // namespace kestrune::testing
