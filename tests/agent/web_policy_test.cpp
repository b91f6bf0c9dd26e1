#include "agent/web_policy.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kestrune::agent {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// An origin's folder with a subfolder, a link to it, and links leading out.
class OriginFolder {
 public:
  OriginFolder() {
    std::string pattern = (fs::temp_directory_path() / "kestrune-policy-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    path_ = fs::canonical(pattern).string();
    fs::create_directory(path_ + "/sub");
    fs::create_directory_symlink(path_ + "/sub", path_ + "/inner");
    fs::create_directory_symlink("/etc", path_ + "/out");
    fs::create_symlink("/etc/passwd", path_ + "/link.cer");
  }
  ~OriginFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  OriginFolder(const OriginFolder&) = delete;
  OriginFolder& operator=(const OriginFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const com::Method& method(const char* name) {
  const com::Method* found = com::findMethod(name);
  EXPECT_NE(nullptr, found) << name;
  return *found;
}

TEST(WebPolicy, LoadLibTakesARegisteredNameNeverAPath) {
  const WebPolicy policy{
      "/nonexistent",
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
    std::string why;
    const bool allowed = applyWebPolicy(policy, method("loadLib"), args, why);
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

TEST(WebPolicy, FilesStayInsideTheOriginsFolder) {
  const OriginFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const WebPolicy policy{folder.path(), {}};
  struct Case {
    std::string name;
    bool allowed;
  };
  const Case cases[] = {
      {"req.p10", true},
      {"sub/req.p10", true},
      {"inner/req.p10", true},    // a link that stays inside
      {"missing/req.p10", true},  // the call fails there; nothing is made here
      {"sub", true},              // the control fails on a folder
      {"../x", false},
      {"a/../../x", false},
      {"sub/../req.p10", false},
      {"./req.p10", false},
      {"/etc/passwd", false},
      {folder.path() + "/req.p10", false},  // absolute even when inside
      {"out/passwd", false},                // a folder link leading out
      {"link.cer", false},                  // the file itself a link
      {"", false},
      {"a//b", false},
      {"sub/", false},
      {std::string(256, 'a'), false},
      {std::string(1025, 'a'), false},
      {"a\\..\\x", false},
      {"caf\xc3\xa9.cer", false},
      {std::string("a\0b", 3), false},
      {"a\nb", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Json(c.name).dump(-1, ' ', false, Json::error_handler_t::replace));
    for (const char* name : {"getCert", "getNewCert", "loadCert", "loadCACert"}) {
      Json args = Json::array({c.name});
      std::string why;
      EXPECT_EQ(c.allowed, applyWebPolicy(policy, method(name), args, why)) << name << why;
      if (c.allowed) {
        EXPECT_EQ(Json::array({folder.path() + "/" + c.name}), args);
      }
    }
  }
  EXPECT_FALSE(fs::exists(folder.path() + "/missing"));
}

TEST(WebPolicy, FindsTheFileAmongOtherArgumentsAndQuotesNoSecret) {
  const OriginFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const WebPolicy policy{folder.path(), {}};
  Json args = Json::array({1, "req.p10", "pass phrase"});
  std::string why;
  ASSERT_TRUE(applyWebPolicy(policy, method("makeRequestCert"), args, why)) << why;
  EXPECT_EQ(Json::array({1, folder.path() + "/req.p10", "pass phrase"}), args);

  args = Json::array({1, "../req.p10", "pass phrase"});
  EXPECT_FALSE(applyWebPolicy(policy, method("makeRequestCert"), args, why));
  EXPECT_NE(std::string::npos, why.find("outFile"));
  EXPECT_EQ(std::string::npos, why.find("pass phrase"));
}

TEST(WebPolicy, LeavesOtherMethodsAlone) {
  const WebPolicy policy{"/nonexistent", {}};
  Json args = Json::array({"/etc/passwd"});
  std::string why;
  EXPECT_TRUE(applyWebPolicy(policy, method("sign"), args, why));
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
