// The authority's database files across requests: each request opens its own connection, and
// closing it must not close the database's last one, which would checkpoint the WAL into the
// database and delete the WAL and shared-memory files after every request, to make them anew for
// the next. The server holds them while it runs and lets them go when it stops.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "FEDIX509/builtin_ca_records.h"
#include "ca/authority.h"
#include "control/TVFEDIMiniKeyCrypt.h"

namespace kestrune::testing {
namespace {

std::u16string u16(const std::string& text) {
  return {text.begin(), text.end()};
}

// inodeOf returns the file's inode number; none when there is no such file.
std::optional<ino_t> inodeOf(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return status.st_ino;
}

class AuthorityFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestrune-authority-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(pattern.data()));
    folder = pattern;
    dir = folder + "/authority";
  }
  void TearDown() override {
    std::error_code error;
    std::filesystem::remove_all(folder, error);
  }

  std::string folder;
  std::string dir;
};

TEST_F(AuthorityFiles, WalStaysWhileServingAndGoesAtStop) {
  std::string error;
  ASSERT_EQ(ca::AuthorityResult::ok, ca::initAuthority(dir, {}, &error)) << error;
  ca::AuthorityServer server;
  ASSERT_EQ(ca::AuthorityResult::ok, server.start(dir, "127.0.0.1", 0, {}, &error)) << error;
  const std::string wal = dir + "/authority.db-wal";
  const std::optional<ino_t> first = inodeOf(wal);
  ASSERT_TRUE(first);

  TVFEDIMiniKeyCrypt control;
  const std::u16string url = u16(server.initiationUrl());
  std::string pass;
  for (int request = 0; request < 3; ++request) {
    SCOPED_TRACE(request);
    // A read through the server, and a write through a connection of its own.
    EXPECT_TRUE(
        control.queryB64Certificate(url, u16(fedi::kTestCasid1), u16(fedi::kTestCasid2), u"1"));
    ASSERT_EQ(ca::AuthorityResult::ok, ca::enrolHolder(dir, "HOLDER", "ORG", pass, &error))
        << error;
    EXPECT_EQ(first, inodeOf(wal));
  }
  server.stop();
  EXPECT_FALSE(inodeOf(wal));
  EXPECT_FALSE(inodeOf(dir + "/authority.db-shm"));
}

}  // namespace
}  // namespace kestrune::testing
