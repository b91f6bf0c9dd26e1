// The two token modules that the host's life-cycle tests run on: SoftHSM2 (a private token
// per test) and opencryptoki's soft token (one per machine, behind its slot daemon).
//
// A suite runs on both with TEST_P and KESTRUNE_ON_EVERY_MODULE(Suite). The opencryptoki runs
// are named "OpenCryptoki/..."; CTest runs them one at a time, since they share one token.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "tests/host/host_runner.h"
#include "tests/support/test_token.h"

namespace kestrune::testing {

enum class TokenModule { softHsm, openCryptoki };
// Names the module in test names.
void PrintTo(TokenModule module, std::ostream* out);

// ModuleHostTest makes a fresh token on the module of the test's parameter, and a folder for
// the test's files. A test on opencryptoki skips, saying why, when its daemon can't run here.
class ModuleHostTest : public ::testing::TestWithParam<TokenModule> {
 protected:
  void SetUp() override;

  TestToken& token() { return *token_; }
  // The module's path, as loadLib takes it.
  const char* module() const { return token_->module(); }
  const std::string& dir() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::unique_ptr<TestToken> token_;
};

}  // namespace kestrune::testing

#define KESTRUNE_ON_EVERY_MODULE(Suite)                                                   \
  INSTANTIATE_TEST_SUITE_P(SoftHSM2, Suite,                                               \
                           ::testing::Values(::kestrune::testing::TokenModule::softHsm)); \
  INSTANTIATE_TEST_SUITE_P(OpenCryptoki, Suite,                                           \
                           ::testing::Values(::kestrune::testing::TokenModule::openCryptoki))
