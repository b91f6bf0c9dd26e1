// The authority's folder holds its key and every holder's pass phrase: every file in it is
// readable by its owner only from the moment it exists, a link in the key file's place is never
// followed, a folder other users can write into is refused, and two `init` runs on one folder
// leave one whole authority.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ca/authority_store.h"
#include "platform/authority_os.h"
#include "serve_process.h"
#include "server_fixture.h"

extern char** environ;

namespace kestrune::ca::test {
namespace {

namespace fs = std::filesystem;

TEST(AuthorityFiles, EveryFileOfTheFolderIsTheOwnersAlone) {
  TempDir dir;
  const std::string authority = dir.file("nested/authority");
  std::string why;
  ASSERT_EQ(AuthorityResult::ok, initAuthority(authority, {}, &why)) << why;
  std::string pass;
  ASSERT_EQ(AuthorityResult::ok, enrolHolder(authority, "U001", "ORG01", pass, &why)) << why;
  // A served request brings the WAL and its shared memory.
  AuthorityServer server;
  ASSERT_EQ(AuthorityResult::ok, server.start(authority, "127.0.0.1", 0, {}, &why)) << why;
  EXPECT_EQ(FEDI_CT_GET_CRL_ANS,
            postBody(server.messageUrl(),
                     requestMessage(FEDI_CT_GET_CRL, revocationListQuery().get()).der)
                .type());
  EXPECT_EQ(0700, platform::fileMode(authority.c_str()));
  std::vector<std::string> seen;
  for (const auto& entry : fs::directory_iterator(authority)) {
    const std::string path = entry.path().string();
    seen.push_back(entry.path().filename().string());
    EXPECT_EQ(0600, platform::fileMode(path.c_str())) << path;
  }
  server.stop();
  for (const char* name :
       {kDatabaseFileName, kKeyFileName, kLockFileName, "authority.db-wal", "authority.db-shm"}) {
    EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), name)) << name;
  }
}

TEST(AuthorityFiles, ALinkInTheKeyFilesPlaceIsNotFollowed) {
  TempDir dir;
  const std::string authority = dir.file("authority");
  const std::string target = dir.file("stolen.pem");
  ASSERT_TRUE(platform::makePrivateFolder(authority.c_str()));
  fs::create_symlink(target, authority + "/" + kKeyFileName);
  std::string why;
  EXPECT_NE(AuthorityResult::ok, initAuthority(authority, {}, &why));
  EXPECT_FALSE(fs::exists(target)) << "the key went through the link";
  EXPECT_TRUE(fs::is_symlink(authority + "/" + kKeyFileName));  // left as it was found
}

TEST(AuthorityFiles, AFolderOtherUsersCanWriteIsRefused) {
  TempDir dir;
  const std::string authority = dir.file("authority");
  std::string why;
  ASSERT_EQ(AuthorityResult::ok, initAuthority(authority, {}, &why)) << why;
  for (const fs::perms opened : {fs::perms::group_write, fs::perms::others_write}) {
    fs::permissions(authority, opened, fs::perm_options::add);
    std::string pass;
    EXPECT_EQ(AuthorityResult::unsafeFolder, enrolHolder(authority, "U001", "ORG01", pass, &why));
    EXPECT_NE(std::string::npos, why.find("other users")) << why;
    AuthorityServer server;
    EXPECT_EQ(AuthorityResult::unsafeFolder, server.start(authority, "127.0.0.1", 0, {}, &why));
    EXPECT_EQ(AuthorityResult::unsafeFolder, initAuthority(authority, {}, &why));
    fs::permissions(authority, opened, fs::perm_options::remove);
  }
  std::string pass;
  EXPECT_EQ(AuthorityResult::ok, enrolHolder(authority, "U001", "ORG01", pass, &why)) << why;
}

// spawnInit starts `fedi-ca init --generate-key` on dir; its pid, or -1.
pid_t spawnInit(const std::string& dir) {
  std::vector<std::string> arguments = {FEDI_CA_PATH, "init", "--generate-key", "--bits", "2048",
                                        "--dir",      dir};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, FEDI_CA_PATH, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

TEST(AuthorityFiles, TwoInitsAtOnceLeaveOneWholeAuthority) {
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    TempDir dir;
    const std::string authority = dir.file("authority");
    const pid_t first = spawnInit(authority);
    const pid_t second = spawnInit(authority);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    int succeeded = 0;
    for (const pid_t pid : {first, second}) {
      int status = 0;
      ASSERT_EQ(pid, waitpid(pid, &status, 0));
      ASSERT_TRUE(WIFEXITED(status));
      if (WEXITSTATUS(status) == 0) ++succeeded;
    }
    EXPECT_EQ(1, succeeded);
    // The one made is whole: its key signs its own certificate, and it serves.
    EXPECT_EQ(0, fediCa("ca-cert --dir " + authority).status);
    AuthorityServer server;
    std::string why;
    ASSERT_EQ(AuthorityResult::ok, server.start(authority, "127.0.0.1", 0, {}, &why)) << why;
    const Exchange key = postBody(server.messageUrl(),
                                  requestMessage(FEDI_CT_GET_CAPK, authorityKeyQuery().get()).der);
    ASSERT_EQ(FEDI_CT_GET_CAPK_ANS, key.type());
    const CertificatePtr own = firstCertificate(key.bag());
    ASSERT_NE(nullptr, own);
    const KeyPtr signer = loadPrivateKey((authority + "/" + kKeyFileName).c_str());
    ASSERT_NE(nullptr, signer);
    EXPECT_TRUE(sameKey(own.get(), signer.get()));
  }
}

}  // namespace
}  // namespace kestrune::ca::test
