// The agent's two files, origins.json and agent.json: what is refused whole and why, and the
// allow-list written back as it is read.
#include "agent/agent_config.h"
#include "platform/config_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kestrune::agent {
namespace {

namespace fs = std::filesystem;
using Origins = std::vector<std::string>;
using Modules = std::map<std::string, std::string>;

class AgentConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = (fs::temp_directory_path() / "agent-config-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(name.data()));
    dir_ = name;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }
  std::string read(const std::string& name) const {
    std::ostringstream text;
    text << std::ifstream(path(name), std::ios::binary).rdbuf();
    return text.str();
  }

  std::string dir_;
};

TEST_F(AgentConfigTest, RefusesAMalformedFileWholeNamingItAndTheProblem) {
  std::string tooLarge = R"({"origins": ["https://bank.example")";
  while (tooLarge.size() <= kMaxConfigFile) tooLarge += R"(, "https://bank.example")";
  tooLarge += "]}";
  struct Case {
    const char* file;
    std::string text;
    const char* reason;
  } const cases[] = {
      {"origins.json", R"({"origins": ["https://bank.example")", "is not JSON"},
      {"origins.json", "{\"origins\": [\"https://bank.\xff\"]}", "is not JSON"},
      {"origins.json", R"(["https://bank.example"])", R"(is not {"origins")"},
      {"origins.json", R"({"origins": "https://bank.example"})", R"(is not {"origins")"},
      {"origins.json", R"({})", R"(is not {"origins")"},
      {"origins.json", "null", R"(is not {"origins")"},
      {"origins.json", R"({"origins": [], "orgins": []})", R"(unknown field "orgins")"},
      {"origins.json", R"({"origins": ["https://bank.example", 7]})", "entry 2 is not a string"},
      {"origins.json", R"({"origins": ["https://Bank.Example:443/"]})",
       "is not as a browser writes it; write https://bank.example"},
      {"origins.json", R"({"origins": ["null"]})", R"(entry 1 "null" is not an origin)"},
      {"origins.json", R"({"origins": ["https://bank.example/login"]})", "is not an origin"},
      {"origins.json", tooLarge, "is larger than 65536 bytes"},
      {"agent.json", R"(["vendor-card"])", "is not a JSON object"},
      {"agent.json", " null\n", "is not a JSON object"},
      {"agent.json", R"({"modules": ["/opt/m.so"]})", R"("modules" is not)"},
      {"agent.json", R"({"modules": {"vendor/card": "/opt/m.so"}})",
       R"(module name "vendor/card")"},
      {"agent.json", R"({"modules": {"": "/opt/m.so"}})", R"(module name "")"},
      {"agent.json", R"({"modules": {")" + std::string(65, 'm') + R"(": "/opt/m.so"}})",
       "is not 1 to 64 letters"},
      {"agent.json", R"({"modules": {"card": "opt/m.so"}})", "not given an absolute path"},
      {"agent.json", R"({"modules": {"card": 7}})", "not given an absolute path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    const std::string file = write(c.file, c.text);
    std::string why;
    // The file's text, given as text, is refused alike (but for a size no file may exceed).
    std::string whyOfText;
    if (std::string(c.file) == "origins.json") {
      Origins origins{"https://left.example"};
      EXPECT_EQ(ConfigStatus::malformed, loadOrigins(file, origins, why));
      EXPECT_TRUE(origins.empty());
      origins = {"https://left.example"};
      EXPECT_EQ(c.text == tooLarge ? ConfigStatus::ok : ConfigStatus::malformed,
                originsFromText(c.text, file, origins, whyOfText));
    } else {
      Modules modules{{"left", "/left.so"}};
      EXPECT_EQ(ConfigStatus::malformed, loadModules(file, modules, why));
      EXPECT_TRUE(modules.empty());
      modules = {{"left", "/left.so"}};
      EXPECT_EQ(ConfigStatus::malformed, modulesFromText(c.text, file, modules, whyOfText));
      EXPECT_TRUE(modules.empty());
    }
    EXPECT_EQ(0u, why.find(file)) << why;
    EXPECT_NE(std::string::npos, why.find(c.reason)) << why;
    if (c.text != tooLarge) {
      EXPECT_EQ(why, whyOfText);
    }
    fs::remove(file);
  }
}

// A folder or a FIFO in the file's place is refused at once: reading a FIFO would wait for a
// writer that never comes.
TEST_F(AgentConfigTest, SomethingOtherThanAFileIsUnreadable) {
  fs::create_directory(path("origins.json"));
  ASSERT_EQ(0, mkfifo(path("agent.json").c_str(), 0600));
  Origins origins;
  Modules modules;
  std::string why;
  EXPECT_EQ(ConfigStatus::unreadable, loadOrigins(path("origins.json"), origins, why));
  EXPECT_EQ("cannot read " + path("origins.json"), why);
  EXPECT_EQ(ConfigStatus::unreadable, loadModules(path("agent.json"), modules, why));
  EXPECT_EQ("cannot read " + path("agent.json"), why);
}

// The allow-list decides which pages reach the token, agent.json which modules are loaded: a
// file that another user may write is not the user's word.
TEST_F(AgentConfigTest, AFileOthersMayWriteIsNotUsed) {
  for (const mode_t mode : {0620, 0602, 0666}) {
    const std::string file = write("origins.json", R"({"origins": ["https://bank.example"]})");
    ASSERT_EQ(0, chmod(file.c_str(), mode));
    Origins origins;
    std::string why;
    EXPECT_EQ(ConfigStatus::unreadable, loadOrigins(file, origins, why)) << std::oct << mode;
    EXPECT_EQ(file + " may be changed by other users; make it yours alone (chmod go-w)", why);
    EXPECT_TRUE(origins.empty());
  }
}

TEST_F(AgentConfigTest, OwnerFoldersAreMadeWithTheirParents) {
  EXPECT_TRUE(platform::makeOwnerFolder(path("data/kestrune/origins")));
  EXPECT_TRUE(platform::makeOwnerFolder(path("data/kestrune/origins")));  // already there
  for (const char* folder : {"data", "data/kestrune", "data/kestrune/origins"}) {
    struct stat info {};
    ASSERT_EQ(0, stat(path(folder).c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 07777) << folder;
  }
  write("file", "");
  EXPECT_FALSE(platform::makeOwnerFolder(path("file")));
  fs::create_directory_symlink(path("data"), path("link"));
  EXPECT_FALSE(platform::makeOwnerFolder(path("link")));
  EXPECT_FALSE(platform::makeOwnerFolder(path("file/below")));
}

TEST_F(AgentConfigTest, MissingFilesAndAbsentModulesAreEmpty) {
  Origins origins{"https://left.example"};
  Modules modules{{"left", "/left.so"}};
  std::string why;
  EXPECT_EQ(ConfigStatus::ok, loadOrigins(path("origins.json"), origins, why));
  EXPECT_EQ(ConfigStatus::ok, loadModules(path("agent.json"), modules, why));
  EXPECT_TRUE(origins.empty());
  EXPECT_TRUE(modules.empty());
  // agent.json may hold other settings; only "modules" is this reader's.
  EXPECT_EQ(ConfigStatus::ok, loadModules(write("agent.json", R"({"port": 47011})"), modules, why));
  EXPECT_TRUE(modules.empty());

  write(
      "agent.json",
      R"({"modules": {"vendor-card": "/opt/vendor/lib/pkcs11.so", "soft_2.6": "/usr/lib/s.so"}})");
  EXPECT_EQ(ConfigStatus::ok, loadModules(path("agent.json"), modules, why)) << why;
  EXPECT_EQ((Modules{{"soft_2.6", "/usr/lib/s.so"}, {"vendor-card", "/opt/vendor/lib/pkcs11.so"}}),
            modules);
}

// The text readers take what the file readers take, the same way.
TEST_F(AgentConfigTest, TextIsReadAsTheFileIsRead) {
  const std::string origins =
      R"({"origins": ["https://b.example", "http://127.0.0.1:8080", "https://b.example"]})";
  const std::string modules = R"({"port": 1, "modules": {"card": "/opt/card.so"}})";
  Origins originsOfFile;
  Origins originsOfText{"https://left.example"};
  Modules modulesOfFile;
  Modules modulesOfText{{"left", "/left.so"}};
  std::string why;
  EXPECT_EQ(ConfigStatus::ok, loadOrigins(write("origins.json", origins), originsOfFile, why));
  EXPECT_EQ(ConfigStatus::ok, originsFromText(origins, "origins.json", originsOfText, why));
  EXPECT_EQ((Origins{"http://127.0.0.1:8080", "https://b.example"}), originsOfText);
  EXPECT_EQ(originsOfFile, originsOfText);
  EXPECT_EQ(ConfigStatus::ok, loadModules(write("agent.json", modules), modulesOfFile, why));
  EXPECT_EQ(ConfigStatus::ok, modulesFromText(modules, "agent.json", modulesOfText, why));
  EXPECT_EQ((Modules{{"card", "/opt/card.so"}}), modulesOfText);
  EXPECT_EQ(modulesOfFile, modulesOfText);
}

TEST_F(AgentConfigTest, SavedOriginsReadBackSortedOnceEachInAPrivateFile) {
  const std::string file = path("folder/kestrune/origins.json");
  std::string why;
  ASSERT_TRUE(saveOrigins(file,
                          {"https://bank.example", "http://127.0.0.1:8080", "http://[::1]:3000",
                           "https://bank.example"},
                          why))
      << why;
  Origins origins;
  ASSERT_EQ(ConfigStatus::ok, loadOrigins(file, origins, why)) << why;
  EXPECT_EQ((Origins{"http://127.0.0.1:8080", "http://[::1]:3000", "https://bank.example"}),
            origins);
  struct stat info {};
  ASSERT_EQ(0, stat(file.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777);
  ASSERT_EQ(0, stat(path("folder").c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 07777);

  // What loading would refuse is not written either.
  const std::string before = read("folder/kestrune/origins.json");
  EXPECT_FALSE(saveOrigins(file, {"https://Bank.Example"}, why));
  EXPECT_NE(std::string::npos, why.find("canonical")) << why;
  EXPECT_EQ(before, read("folder/kestrune/origins.json"));
}

TEST_F(AgentConfigTest, SavingThroughASymbolicLinkIsRefused) {
  const std::string kept = write("kept.json", R"({"origins": ["https://bank.example"]})");
  fs::create_symlink(kept, path("origins.json"));
  std::string why;
  EXPECT_FALSE(saveOrigins(path("origins.json"), {"https://other.example"}, why));
  EXPECT_NE(std::string::npos, why.find("symbolic link")) << why;
  EXPECT_TRUE(fs::is_symlink(path("origins.json")));
  EXPECT_EQ(R"({"origins": ["https://bank.example"]})", read("kept.json"));
  Origins origins;
  EXPECT_EQ(ConfigStatus::ok, loadOrigins(path("origins.json"), origins, why)) << why;
  EXPECT_EQ(Origins{"https://bank.example"}, origins);
}

TEST_F(AgentConfigTest, FilesLieInTheUsersConfigurationFolder) {
  const std::string config = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
  const std::string data = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("HOME", "/home/user", 1);
  setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ("/xdg/config/kestrune/origins.json", originsFilePath());
  EXPECT_EQ("/xdg/config/kestrune/agent.json", agentConfigPath());
  EXPECT_EQ("/home/user/.local/share/kestrune/origins", platform::dataFolderPath("origins"));
  setenv("XDG_CONFIG_HOME", "relative/config", 1);  // not absolute: ignored
  setenv("XDG_DATA_HOME", "/xdg/data", 1);
  EXPECT_EQ("/home/user/.config/kestrune/origins.json", originsFilePath());
  EXPECT_EQ("/xdg/data/kestrune/origins", platform::dataFolderPath("origins"));
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("HOME");
  EXPECT_EQ("", originsFilePath());
  for (const auto& [name, value] :
       {std::pair{"XDG_CONFIG_HOME", config}, {"XDG_DATA_HOME", data}, {"HOME", home}}) {
    if (!value.empty()) setenv(name, value.c_str(), 1);
  }
}

}  // namespace
}  // namespace kestrune::agent
