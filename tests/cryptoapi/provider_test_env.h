// Test helpers for the providers: a private XDG folder per test, last-error checks, byte
// helpers and the openssl command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/cryptoapi.h"
#include "tests/support/test_files.h"

namespace kestrune::testing {

using Bytes = std::vector<std::uint8_t>;

// Points XDG_DATA_HOME and XDG_CONFIG_HOME at a fresh temp folder, removed afterwards.
class ProviderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::string& dir() const { return dir_; }
  std::string keyFolder() const { return dir_ + "/data/kestrune/keys"; }
  void writeProviders(const std::string& json);

  // A software context on a new container, with a key of that spec.
  HCRYPTPROV newContainer(const char* name, DWORD keySpec = 0, DWORD bits = 1024, DWORD flags = 0);

 private:
  std::string dir_;
};

std::string hex(const Bytes& bytes);
// Runs a shell command; its exit status.
int run(const std::string& command);
// The SHA-1 hash object over the data.
HCRYPTHASH sha1Of(HCRYPTPROV prov, const std::string& data);

}  // namespace kestrune::testing

#define EXPECT_FAILS_WITH(call, code)                \
  do {                                               \
    SetLastError(0);                                 \
    EXPECT_FALSE(call);                              \
    EXPECT_EQ(GetLastError(), DWORD(code)) << #call; \
  } while (0)
