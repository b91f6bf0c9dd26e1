// Whole-file reads and writes on real files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/whole_file.h"

namespace kestrune {
namespace {

class WholeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrune-file-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

TEST_F(WholeFile, WritesAndReadsEveryByte) {
  std::vector<std::uint8_t> bytes(70000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  bytes[10] = 0;
  const auto file = path("cert.der");
  ASSERT_EQ(+ControlCode::kOk, control::writeWholeFile(file.c_str(), bytes));

  std::ifstream in(file, std::ios::binary);
  const std::vector<std::uint8_t> onDisk{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(bytes, onDisk);

  std::vector<std::uint8_t> read;
  EXPECT_EQ(+ControlCode::kOk, control::readWholeFile(file.c_str(), read));
  EXPECT_EQ(bytes, read);

  // Writing again replaces the contents.
  const std::vector<std::uint8_t> shorter{1, 2, 3};
  ASSERT_EQ(+ControlCode::kOk, control::writeWholeFile(file.c_str(), shorter));
  EXPECT_EQ(+ControlCode::kOk, control::readWholeFile(file.c_str(), read));
  EXPECT_EQ(shorter, read);
}

TEST_F(WholeFile, AnEmptyFileReadsAsNoBytes) {
  const auto file = path("empty");
  std::ofstream{file};
  std::vector<std::uint8_t> read{9};
  EXPECT_EQ(+ControlCode::kOk, control::readWholeFile(file.c_str(), read));
  EXPECT_TRUE(read.empty());
}

TEST_F(WholeFile, FailuresHaveTheirCodes) {
  std::vector<std::uint8_t> read;
  EXPECT_EQ(+ControlCode::kFileOpenFailed, control::readWholeFile(path("missing").c_str(), read));
  const std::vector<std::uint8_t> bytes{1, 2, 3};
  EXPECT_EQ(+ControlCode::kFileOpenFailed,
            control::writeWholeFile(path("no/such/dir").c_str(), bytes));
  EXPECT_EQ(+ControlCode::kFileOpenFailed, control::writeWholeFile(dir_.c_str(), bytes));
  // /dev/full takes the open and refuses the bytes.
  EXPECT_EQ(+ControlCode::kWriteFailed, control::writeWholeFile("/dev/full", bytes));
}

}  // namespace
}  // namespace kestrune
