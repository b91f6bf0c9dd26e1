#include "agent/web_policy.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kestrune::agent {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// An origin's folder with a subfolder, a file, a link to each, links leading out, a second
// name of a file outside, a pipe; the folder lies in a folder of its own beside that file.
class OriginFolder {
 public:
  OriginFolder() {
    std::string pattern = (fs::temp_directory_path() / "kestrune-policy-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    top_ = fs::canonical(pattern).string();
    path_ = top_ + "/origin";
    fs::create_directories(path_ + "/sub");
    std::ofstream(path_ + "/ca.der") << "certificate";
    std::ofstream(top_ + "/outside.cer") << "outside";
    fs::create_directory_symlink(path_ + "/sub", path_ + "/inner");
    fs::create_directory_symlink("/etc", path_ + "/out");
    fs::create_symlink("/etc/passwd", path_ + "/link.cer");
    fs::create_symlink("ca.der", path_ + "/near.der");
    fs::create_hard_link(top_ + "/outside.cer", path_ + "/hard.cer");
    ::mkfifo((path_ + "/pipe").c_str(), 0600);
  }
  ~OriginFolder() {
    std::error_code ignored;
    if (!top_.empty()) fs::remove_all(top_, ignored);
  }
  OriginFolder(const OriginFolder&) = delete;
  OriginFolder& operator=(const OriginFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string outside() const { return top_ + "/outside.cer"; }

 private:
  std::string top_;
  std::string path_;
};

WebPolicy policyFor(const std::string& folder) {
  WebPolicy policy;
  policy.originFolder = platform::openFolder(folder.c_str());
  EXPECT_TRUE(policy.originFolder) << folder;
  return policy;
}

const com::Method& method(const char* name) {
  const com::Method* found = com::findMethod(name);
  EXPECT_NE(nullptr, found) << name;
  return *found;
}

TEST(WebPolicy, LoadLibTakesARegisteredNameNeverAPath) {
  const WebPolicy policy{
      {},
      {{"softhsm2", "/usr/lib/softhsm/libsofthsm2.so"}, {"vendor-card", "/opt/vendor/pkcs11.so"}}};
  struct Case {
    Json arg;
    const char* want;  // the path it becomes, or nullptr when refused
  };
  const Case cases[] = {
      {"softhsm2", "/usr/lib/softhsm/libsofthsm2.so"},
      {"vendor-card", "/opt/vendor/pkcs11.so"},
      {"/usr/lib/softhsm/libsofthsm2.so", nullptr},
      {"./softhsm2", nullptr},
      {"softhsm2/", nullptr},
      {"SoftHSM2", nullptr},
      {"libsofthsm2.so", nullptr},
      {"", nullptr},
      {5, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg.dump());
    Json args = Json::array({c.arg});
    CallFiles files;
    std::string why;
    const bool allowed = applyWebPolicy(policy, method("loadLib"), args, files, why);
    if (c.want != nullptr) {
      EXPECT_TRUE(allowed) << why;
      EXPECT_EQ(Json::array({c.want}), args);
    } else {
      EXPECT_FALSE(allowed);
      if (c.arg.is_string()) {
        EXPECT_NE(std::string::npos, why.find("softhsm2, vendor-card"));
      }
    }
  }
}

// A name of the wrong shape is refused by its shape, before anything is opened.
TEST(WebPolicy, FileNamesAreRelativeNamesOfPlainComponents) {
  const OriginFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const WebPolicy policy = policyFor(folder.path());
  const std::string names[] = {
      "../x",
      "a/../../x",
      "sub/../ca.der",
      "./ca.der",
      "/etc/passwd",
      folder.path() + "/ca.der",  // absolute even when inside
      "",
      "a//b",
      "sub/",
      std::string(256, 'a'),
      std::string(1025, 'a'),
      "a\\..\\x",
      "caf\xc3\xa9.cer",
      std::string("a\0b", 3),
      "a\nb",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(Json(name).dump(-1, ' ', false, Json::error_handler_t::replace));
    for (const char* methodName : {"getCert", "getNewCert", "loadCert", "loadCACert"}) {
      Json args = Json::array({name});
      CallFiles files;
      std::string why;
      EXPECT_FALSE(applyWebPolicy(policy, method(methodName), args, files, why));
      EXPECT_EQ(Json::array({name}), args);
      EXPECT_NE(std::string::npos, why.find("page's own folder")) << why;
    }
  }
}

// A name of the right shape is opened beneath the folder, through no link, and must be a
// regular file with no other name; the argument becomes a path to what was opened.
TEST(WebPolicy, FilesAreOpenedInsideTheOriginsFolderThroughNoLink) {
  const OriginFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const WebPolicy policy = policyFor(folder.path());
  struct Case {
    const char* name;
    bool read;   // loadCert, loadCACert
    bool write;  // getCert, getNewCert
    const char* problem;
  };
  const Case cases[] = {
      {"ca.der", true, true, nullptr},
      {"sub/req.p10", false, true, "names nothing there"},
      {"missing/req.p10", false, false, "names nothing there"},
      {"inner/req.p10", false, false, "symbolic link"},  // a link, though it stays inside
      {"near.der", false, false, "symbolic link"},
      {"out/passwd", false, false, "symbolic link"},
      {"link.cer", false, false, "symbolic link"},
      {"hard.cer", false, false, "another name"},
      {"pipe", false, false, "not a regular file"},
      {"sub", false, false, "not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* name : {"getCert", "getNewCert", "loadCert", "loadCACert"}) {
      const bool writes = std::string_view(name).starts_with("get");
      Json args = Json::array({c.name});
      CallFiles files;
      std::string why;
      const bool allowed = applyWebPolicy(policy, method(name), args, files, why);
      EXPECT_EQ(writes ? c.write : c.read, allowed) << name << " " << why;
      if (allowed) {
        const std::string path = args[0].get<std::string>();
        EXPECT_TRUE(path.starts_with("/proc/self/fd/")) << path;
        EXPECT_TRUE(fs::equivalent(path, folder.path() + "/" + c.name)) << name;
      } else {
        EXPECT_EQ(Json::array({c.name}), args);
        if (c.problem != nullptr) {
          EXPECT_NE(std::string::npos, why.find(c.problem)) << why;
        }
      }
    }
  }
  EXPECT_FALSE(fs::exists(folder.path() + "/missing"));
  EXPECT_FALSE(fs::exists(folder.path() + "/sub/req.p10"));  // made empty, removed unwritten
  std::ifstream outside(folder.outside());
  EXPECT_EQ("outside", std::string(std::istreambuf_iterator<char>(outside), {}));
}

TEST(WebPolicy, FindsTheFileAmongOtherArgumentsAndQuotesNoSecret) {
  const OriginFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const WebPolicy policy = policyFor(folder.path());
  Json args = Json::array({1, "req.p10", "pass phrase"});
  CallFiles files;
  std::string why;
  ASSERT_TRUE(applyWebPolicy(policy, method("makeRequestCert"), args, files, why)) << why;
  ASSERT_TRUE(args[1].is_string());
  EXPECT_TRUE(fs::equivalent(args[1].get<std::string>(), folder.path() + "/req.p10"));
  EXPECT_EQ("pass phrase", args[2]);

  args = Json::array({1, "../req.p10", "pass phrase"});
  EXPECT_FALSE(applyWebPolicy(policy, method("makeRequestCert"), args, files, why));
  EXPECT_NE(std::string::npos, why.find("outFile"));
  EXPECT_EQ(std::string::npos, why.find("pass phrase"));
}

TEST(WebPolicy, LeavesOtherMethodsAlone) {
  const WebPolicy policy;
  Json args = Json::array({"/etc/passwd"});
  CallFiles files;
  std::string why;
  EXPECT_TRUE(applyWebPolicy(policy, method("sign"), args, files, why));
  EXPECT_EQ(Json::array({"/etc/passwd"}), args);
}

TEST(WebPolicy, RegisteredModulesIncludeSoftHsmByItsFileName) {
  // This machine registers SoftHSM2 with p11-kit (softhsm2.module).
  const auto modules = registeredModules();
  const auto softhsm = modules.find("softhsm2");
  ASSERT_NE(modules.end(), softhsm);
  EXPECT_TRUE(fs::exists(softhsm->second)) << softhsm->second;
  EXPECT_EQ('/', softhsm->second.front());
}

// The user's module files come first, as p11-kit merges them: HOME points at a folder of the
// test's own for the while.
TEST(WebPolicy, RegisteredModulesReadTheUsersModuleFilesFirst) {
  const OriginFolder home;
  ASSERT_FALSE(home.path().empty());
  const std::string folder = home.path() + "/.config/pkcs11/modules";
  fs::create_directories(folder);
  const auto write = [&](const char* file, const char* text) {
    std::ofstream(folder + "/" + file) << text;
  };
  write("softhsm2.module", "# the user's own build\nmodule: /opt/softhsm/libsofthsm2.so\n");
  write("relative.module", "module: librelative.so\n");
  write("elsewhere.module", "module: /opt/elsewhere.so\nenable-in: firefox, chromium\n");
  write("here.module", "module: /opt/here.so\nenable-in: firefox kestrune\n");
  write("not-here.module", "module: /opt/not-here.so\ndisable-in: kestrune\n");
  write("broken.module", "module: /opt/broken.so\nnot an option\n");
  write("no-library.module", "critical: yes\n");
  write("notes.txt", "module: /opt/notes.so\n");

  write("both.module", "module: /opt/both.so\nenable-in: kestrune\ndisable-in: kestrune\n");

  const char* previous = std::getenv("HOME");
  const std::string saved = previous != nullptr ? previous : "";
  ::setenv("HOME", home.path().c_str(), 1);
  const auto modules = registeredModules();
  // The user's pkcs11.conf can turn their own files off.
  std::ofstream(home.path() + "/.config/pkcs11/pkcs11.conf") << "user-config: none\n";
  const auto systemOnly = registeredModules();
  if (previous != nullptr) {
    ::setenv("HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("HOME");
  }

  EXPECT_EQ("/opt/softhsm/libsofthsm2.so", modules.at("softhsm2"));
  EXPECT_EQ("/opt/here.so", modules.at("here"));
  EXPECT_EQ("/opt/both.so", modules.at("both"));  // enable-in decides alone
  ASSERT_EQ(1u, modules.count("relative"));
  EXPECT_TRUE(modules.at("relative").ends_with("/librelative.so"));
  EXPECT_EQ('/', modules.at("relative").front());
  for (const char* absent : {"elsewhere", "not-here", "broken", "no-library", "notes"}) {
    EXPECT_EQ(0u, modules.count(absent)) << absent;
  }
  EXPECT_EQ(0u, systemOnly.count("here"));
  ASSERT_EQ(1u, systemOnly.count("softhsm2"));
  EXPECT_NE("/opt/softhsm/libsofthsm2.so", systemOnly.at("softhsm2"));
}

}  // namespace
}  // namespace kestrune::agent
