// The modules p11-kit registers, read from its module configuration files rather than through
// p11_kit_modules_load: that loads every module into the process (running each library's
// constructors) just to learn their names, where a page will use one at most.
//   user     ~/.config/pkcs11/modules/NAME.module   (unless pkcs11.conf says "user-config: none")
//   system   /etc/pkcs11/modules/NAME.module        (skipped for "user-config: only")
//   package  the folder p11-kit was built with, e.g. /usr/share/p11-kit/modules
// A file is "key: value" lines and '#' comments; an earlier folder's value of a key wins, later
// ones fill in the keys it lacks, as p11-kit merges them. "module:" names the library, a
// relative one inside p11-kit's module folder.
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/web_policy.h"
#include "platform/config_files.h"

#ifndef KESTRUNE_P11KIT_MODULE_CONFIGS
#define KESTRUNE_P11KIT_MODULE_CONFIGS "/usr/share/p11-kit/modules"
#endif
#ifndef KESTRUNE_P11KIT_MODULE_PATH
#define KESTRUNE_P11KIT_MODULE_PATH "/usr/lib/x86_64-linux-gnu/pkcs11"
#endif

namespace kestrune::agent {
namespace {

namespace fs = std::filesystem;
using Options = std::map<std::string, std::string>;

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

// parseOptions reads "key: value" lines; nullopt for a file with any other line, which p11-kit
// ignores whole.
std::optional<Options> parseOptions(std::string_view text) {
  Options options;
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

std::optional<Options> readOptions(const std::string& path) {
  std::string text;
  if (platform::readConfigFile(path, kMaxConfigText, text) != platform::ConfigRead::ok) {
    return std::nullopt;
  }
  return parseOptions(text);
}

void mergeFolder(const std::string& folder, std::map<std::string, Options>& configs) {
  std::error_code error;
  fs::directory_iterator entries(folder, error);
  std::size_t seen = 0;
  for (; !error && entries != fs::directory_iterator() && seen < kMaxFilesPerFolder;
       entries.increment(error), ++seen) {
    const std::string file = entries->path().filename().string();
    if (file.size() <= kSuffix.size() || !file.ends_with(kSuffix) || file.front() == '.') {
      continue;
    }
    const auto options = readOptions(entries->path().string());
    if (!options) continue;
    Options& merged = configs[file.substr(0, file.size() - kSuffix.size())];
    for (const auto& [key, value] : *options) merged.emplace(key, value);
  }
}

bool listsProgram(std::string_view list) {
  while (!list.empty()) {
    const auto comma = list.find(',');
    if (trimmed(list.substr(0, comma)) == kProgram) return true;
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
  }
  return false;
}

bool enabledHere(const Options& options) {
  if (const auto in = options.find("enable-in"); in != options.end() && !listsProgram(in->second))
    return false;
  if (const auto out = options.find("disable-in");
      out != options.end() && listsProgram(out->second))
    return false;
  return true;
}

// The user's say over their own module files, from the system's pkcs11.conf.
std::string userConfigMode() {
  const auto options = readOptions("/etc/pkcs11/pkcs11.conf");
  if (!options) return "merge";
  const auto mode = options->find("user-config");
  return mode == options->end() ? "merge" : mode->second;
}

}  // namespace

std::map<std::string, std::string> registeredModules() {
  std::map<std::string, Options> configs;
  const std::string mode = userConfigMode();
  const char* home = std::getenv("HOME");
  if (mode != "none" && home != nullptr && home[0] == '/') {
    mergeFolder(std::string(home) + "/.config/pkcs11/modules", configs);
  }
  if (mode != "only") {
    mergeFolder("/etc/pkcs11/modules", configs);
    mergeFolder(KESTRUNE_P11KIT_MODULE_CONFIGS, configs);
  }
  std::map<std::string, std::string> modules;
  for (const auto& [name, options] : configs) {
    const auto module = options.find("module");
    if (module == options.end() || module->second.empty() || !enabledHere(options)) continue;
    const std::string& path = module->second;
    modules[name] =
        path.front() == '/' ? path : std::string(KESTRUNE_P11KIT_MODULE_PATH) + "/" + path;
  }
  return modules;
}

}  // namespace kestrune::agent
