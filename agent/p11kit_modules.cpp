// The modules p11-kit registers, read from its module configuration files rather than through
// p11_kit_modules_load: that loads every module into the process (running each library's
// constructors) just to learn their names, where a page will use one at most.
//   user     ~/.config/pkcs11/modules/NAME.module   (unless "user-config: none")
//   system   /etc/pkcs11/modules/NAME.module        (skipped for "user-config: only")
//   package  the folder p11-kit was built with, e.g. /usr/share/p11-kit/modules
// A file is "key: value" lines and '#' comments; an earlier folder's value of a key wins, later
// ones fill in the keys it lacks, as p11-kit merges them. "module:" names the library, a
// relative one inside p11-kit's module folder. A file p11-kit couldn't parse is left out here
// (p11-kit itself then refuses to load any module).
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/p11kit_modules.h"
#include "agent/web_policy.h"
#include "platform/config_files.h"
#include "platform/platform.h"

#ifndef KESTRUNE_P11KIT_MODULE_CONFIGS
#define KESTRUNE_P11KIT_MODULE_CONFIGS "/usr/share/p11-kit/modules"
#endif
#ifndef KESTRUNE_P11KIT_MODULE_PATH
#define KESTRUNE_P11KIT_MODULE_PATH "/usr/lib/x86_64-linux-gnu/pkcs11"
#endif

namespace kestrune::agent {
namespace {

namespace fs = std::filesystem;
using Options = ModuleOptions;

constexpr std::size_t kMaxConfigText = 64 * 1024;
constexpr std::size_t kMaxFilesPerFolder = 1000;
constexpr std::string_view kSuffix = ".module";
// The program name p11-kit's enable-in and disable-in lists are matched against.
constexpr std::string_view kProgram = "kestrune";

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::optional<Options> readOptions(const std::string& path) {
  std::string text;
  if (platform::readConfigFile(path, kMaxConfigText, text) != platform::ConfigRead::ok) {
    return std::nullopt;
  }
  return parseModuleOptions(text);
}

// moduleName is the name p11-kit gives a module file: its name without ".module", made of
// letters, digits, '_', '-' and '.', starting with a letter or digit. Other files aren't
// offered.
std::optional<std::string> moduleName(const std::string& file) {
  if (file.size() <= kSuffix.size() || !file.ends_with(kSuffix)) return std::nullopt;
  const auto isAlnum = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  };
  if (!isAlnum(file.front())) return std::nullopt;
  for (const char c : file) {
    if (!isAlnum(c) && c != '_' && c != '-' && c != '.') return std::nullopt;
  }
  return file.substr(0, file.size() - kSuffix.size());
}

void mergeFolder(const std::string& folder, std::map<std::string, Options>& configs) {
  std::error_code error;
  fs::directory_iterator entries(folder, error);
  std::size_t seen = 0;
  for (; !error && entries != fs::directory_iterator() && seen < kMaxFilesPerFolder;
       entries.increment(error), ++seen) {
    const auto name = moduleName(entries->path().filename().string());
    if (!name) continue;
    const auto options = readOptions(entries->path().string());
    if (!options) continue;
    Options& merged = configs[*name];
    for (const auto& [key, value] : *options) merged.emplace(key, value);
  }
}

// listsProgram reads a list of program names separated by commas or spaces.
bool listsProgram(std::string_view list) {
  while (!list.empty()) {
    const auto end = list.find_first_of(", \t");
    if (list.substr(0, end) == kProgram) return true;
    list = end == std::string_view::npos ? std::string_view{} : list.substr(end + 1);
  }
  return false;
}

// enabledHere reads p11-kit's program lists: with enable-in, only the programs it names;
// otherwise every program but those disable-in names.
bool enabledHere(const Options& options) {
  if (const auto in = options.find("enable-in"); in != options.end()) {
    return listsProgram(in->second);
  }
  const auto out = options.find("disable-in");
  return out == options.end() || !listsProgram(out->second);
}

// userConfigMode is the user's say over their own module files: the system's pkcs11.conf
// gives it, the user's own may change it unless the system's says "none". "override" is
// "only" for the module files.
std::string userConfigMode(const std::string& home) {
  const auto modeIn = [](const std::optional<Options>& options, std::string mode) {
    if (!options) return mode;
    const auto set = options->find("user-config");
    if (set == options->end()) return mode;
    return set->second == "override" ? std::string("only") : set->second;
  };
  std::string mode = modeIn(readOptions("/etc/pkcs11/pkcs11.conf"), "merge");
  if (mode != "none" && !home.empty()) {
    mode = modeIn(readOptions(home + "/.config/pkcs11/pkcs11.conf"), mode);
  }
  return mode;
}

}  // namespace

std::optional<ModuleOptions> parseModuleOptions(std::string_view text) {
  ModuleOptions options;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    options.emplace(std::string(trimmed(line.substr(0, colon))),
                    std::string(trimmed(line.substr(colon + 1))));
  }
  return options;
}

std::optional<std::string> registeredModulePath(const ModuleOptions& options) {
  const auto module = options.find("module");
  if (module == options.end() || module->second.empty() || !enabledHere(options)) {
    return std::nullopt;
  }
  const std::string& path = module->second;
  return path.front() == '/' ? path : std::string(KESTRUNE_P11KIT_MODULE_PATH) + "/" + path;
}

std::map<std::string, std::string> registeredModules() {
  std::map<std::string, Options> configs;
  std::string home = platform::environmentVariable("HOME");
  if (!home.starts_with('/')) home.clear();
  const std::string mode = userConfigMode(home);
  if (mode != "none" && !home.empty()) mergeFolder(home + "/.config/pkcs11/modules", configs);
  if (mode != "only") {
    mergeFolder("/etc/pkcs11/modules", configs);
    mergeFolder(KESTRUNE_P11KIT_MODULE_CONFIGS, configs);
  }
  std::map<std::string, std::string> modules;
  for (const auto& [name, options] : configs) {
    if (auto path = registeredModulePath(options)) modules[name] = std::move(*path);
  }
  return modules;
}

}  // namespace kestrune::agent
