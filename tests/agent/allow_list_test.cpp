// The running agent's allow-list: taken up again whenever origins.json changes, even twice
// within one tick of the file system's clock with the same size.
#include "agent/allow_list.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kestrune::agent {
namespace {

namespace fs = std::filesystem;

class AllowListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = (fs::temp_directory_path() / "allow-list-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(name.data()));
    dir_ = name;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path() const { return (dir_ / "origins.json").string(); }
  void write(const std::string& text) const { std::ofstream(path()) << text; }

 private:
  fs::path dir_;
};

TEST_F(AllowListTest, FollowsTheFile) {
  AllowList list(path());
  EXPECT_TRUE(list.origins().empty());
  write(R"({"origins": ["https://aaaa.example"]})");
  EXPECT_EQ(std::vector<std::string>{"https://aaaa.example"}, list.origins());
  // Same size, at once: no time stamp or size tells them apart.
  write(R"({"origins": ["https://bbbb.example"]})");
  EXPECT_EQ(std::vector<std::string>{"https://bbbb.example"}, list.origins());
  write(R"({"origins": ["bbbb.example"]})");
  EXPECT_TRUE(list.origins().empty());
  write(R"({"origins": ["https://bank.example", "http://127.0.0.1:8080"]})");
  EXPECT_EQ(2u, list.origins().size());
  fs::remove(path());
  EXPECT_TRUE(list.origins().empty());
}

TEST(AllowList, NoFileNoOrigin) {
  AllowList list("");
  EXPECT_TRUE(list.origins().empty());
}

}  // namespace
}  // namespace kestrune::agent
