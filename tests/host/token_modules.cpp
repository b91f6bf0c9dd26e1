#include "tests/host/token_modules.h"

#include "tests/support/opencryptoki.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {

void PrintTo(TokenModule module, std::ostream* out) {
  *out << (module == TokenModule::softHsm ? "SoftHSM2" : "OpenCryptoki");
}

void ModuleHostTest::SetUp() {
  if (GetParam() == TokenModule::softHsm) {
    token_ = std::make_unique<SoftHsm>();
    return;
  }
  auto openCryptoki = std::make_unique<OpenCryptoki>();
  if (!openCryptoki->available()) GTEST_SKIP() << openCryptoki->why();
  token_ = std::move(openCryptoki);
}

}  // namespace kestrune::testing
