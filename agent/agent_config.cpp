// Both files are the user's, kept by hand as often as by a command: one that isn't exactly
// the expected shape is refused whole with what is wrong and where, never half-used or
// repaired, so that a typo can't quietly let a page in or keep one out.
#include "agent/agent_config.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include <nlohmann/json.hpp>

#include "agent/origin.h"
#include "agent/printable_text.h"
#include "platform/config_files.h"

namespace kestrune::agent {
namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxModuleName = 64;
constexpr std::size_t kMaxModulePath = 4096;
// How much of a refused entry a reason quotes.
constexpr std::size_t kMaxQuoted = 80;
constexpr std::size_t kMaxParseMessage = 200;

std::string inQuotes(std::string_view text) {
  return Json(printable(text, kMaxQuoted)).dump();
}

// parseDocument parses a file's text: ok with the document, or malformed with why, which
// names the file as path.
ConfigStatus parseDocument(std::string_view text, const std::string& path, Json& document,
                           std::string& why) {
  // The parser's own message says where the text stops being JSON.
  try {
    document = Json::parse(text);
  } catch (const Json::exception& error) {
    std::string message = error.what();
    if (const std::size_t end = message.find("] "); end != std::string::npos) {
      message.erase(0, end + 2);
    }
    why = path + " is not JSON: " + printable(message, kMaxParseMessage);
    document = nullptr;
    return ConfigStatus::malformed;
  }
  return ConfigStatus::ok;
}

// readDocument reads and parses the file: status ok with the document, ok with no document
// when there is no file, or the failure with why. A file holding JSON's null is a document,
// refused by the readers like any other of the wrong shape, not taken for a missing file.
ConfigStatus readDocument(const std::string& path, std::optional<Json>& document,
                          std::string& why) {
  document.reset();
  std::string text;
  switch (platform::readConfigFile(path, kMaxConfigFile, text)) {
    case platform::ConfigRead::missing:
      return ConfigStatus::ok;
    case platform::ConfigRead::unreadable:
      why = "cannot read " + path;
      return ConfigStatus::unreadable;
    case platform::ConfigRead::tooLarge:
      why = path + " is larger than " + std::to_string(kMaxConfigFile) + " bytes";
      return ConfigStatus::malformed;
    case platform::ConfigRead::othersMayWrite:
      why = path + " may be changed by other users; make it yours alone (chmod go-w)";
      return ConfigStatus::unreadable;
    case platform::ConfigRead::ok:
      break;
  }
  document.emplace();
  return parseDocument(text, path, *document, why);
}

// takeValue has take fill a value from a file's document or name the problem; value is left
// as it was unless all is well.
template <class Value, class Take>
ConfigStatus takeValue(const Json& document, const std::string& path, Value& value,
                       std::string& why, Take take) {
  Value found;
  if (const std::string problem = take(document, found); !problem.empty()) {
    why = path + ": " + problem;
    return ConfigStatus::malformed;
  }
  value = std::move(found);
  return ConfigStatus::ok;
}

// loadFile reads the file at path and has take fill a value from its document or name the
// problem; value is left empty unless all is well, and a missing file is an empty value.
template <class Value, class Take>
ConfigStatus loadFile(const std::string& path, Value& value, std::string& why, Take take) {
  value.clear();
  why.clear();
  std::optional<Json> document;
  if (const ConfigStatus status = readDocument(path, document, why);
      status != ConfigStatus::ok || !document) {
    return status;
  }
  return takeValue(*document, path, value, why, take);
}

// fromText reads a file's text as loadFile reads the file's.
template <class Value, class Take>
ConfigStatus fromText(std::string_view text, const std::string& name, Value& value,
                      std::string& why, Take take) {
  value.clear();
  why.clear();
  Json document;
  if (const ConfigStatus status = parseDocument(text, name, document, why);
      status != ConfigStatus::ok) {
    return status;
  }
  return takeValue(document, name, value, why, take);
}

bool isModuleName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxModuleName &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
         });
}

bool isModulePath(std::string_view path) {
  return !path.empty() && path.size() <= kMaxModulePath &&
         path.find('\0') == std::string_view::npos && std::filesystem::path(path).is_absolute();
}

// originsOf takes the allow-list from origins.json's document, or names what is wrong.
std::string originsOf(const Json& document, std::vector<std::string>& origins) {
  const char* const shape = R"(is not {"origins": ["https://host", ...]})";
  if (!document.is_object()) return shape;
  for (const auto& [key, value] : document.items()) {
    if (key != "origins") return "has an unknown field " + inQuotes(key);
  }
  const auto list = document.find("origins");
  if (list == document.end() || !list->is_array()) return shape;
  for (std::size_t i = 0; i < list->size(); ++i) {
    const Json& entry = (*list)[i];
    const std::string where = "entry " + std::to_string(i + 1) + " ";
    if (!entry.is_string()) return where + "is not a string";
    const std::string& text = entry.get_ref<const std::string&>();
    std::string reason;
    const std::optional<std::string> origin = canonicalOrigin(text, reason);
    if (!origin) return where + inQuotes(text) + " is not an origin: " + reason;
    // A browser sends the canonical form only, so another spelling would never match.
    if (*origin != text)
      return where + inQuotes(text) + " is not as a browser writes it; write " + *origin;
    origins.push_back(text);
  }
  std::sort(origins.begin(), origins.end());
  origins.erase(std::unique(origins.begin(), origins.end()), origins.end());
  return {};
}

// modulesOf takes agent.json's modules from its document, or names what is wrong; other
// settings are not this reader's.
std::string modulesOf(const Json& document, std::map<std::string, std::string>& modules) {
  if (!document.is_object()) return "is not a JSON object";
  const auto list = document.find("modules");
  if (list == document.end()) return {};
  if (!list->is_object()) return R"("modules" is not {"name": "/path/to/module.so", ...})";
  for (const auto& [name, value] : list->items()) {
    if (!isModuleName(name)) {
      return "module name " + inQuotes(name) + " is not 1 to 64 letters, digits, '.', '_' or '-'";
    }
    if (!value.is_string() || !isModulePath(value.get_ref<const std::string&>())) {
      return "module " + inQuotes(name) + " is not given an absolute path";
    }
    modules.emplace(name, value.get<std::string>());
  }
  return {};
}

}  // namespace

std::string originsFilePath() {
  return platform::configFilePath("origins.json");
}

std::string agentConfigPath() {
  return platform::configFilePath("agent.json");
}

ConfigStatus loadOrigins(const std::string& path, std::vector<std::string>& origins,
                         std::string& why) {
  return loadFile(path, origins, why, originsOf);
}

bool saveOrigins(const std::string& path, const std::vector<std::string>& origins,
                 std::string& why) {
  why.clear();
  std::vector<std::string> sorted = origins;
  for (const std::string& origin : sorted) {
    std::string reason;
    if (canonicalOrigin(origin, reason) != origin) {
      why = inQuotes(origin) + " is not an origin in canonical form; " + path + " left unchanged";
      return false;
    }
  }
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  const std::string text = Json{{"origins", sorted}}.dump(2) + "\n";
  if (text.size() > kMaxConfigFile) {
    why = path + " would grow beyond " + std::to_string(kMaxConfigFile) +
          " bytes, which it is not read past; left unchanged";
    return false;
  }
  if (const int error = platform::replaceConfigFile(path, text); error != 0) {
    why = "cannot write " + path + ": " +
          (error == ELOOP ? "it is a symbolic link; edit the file it names instead"
                          : std::strerror(error)) +
          "; left unchanged";
    return false;
  }
  return true;
}

ConfigStatus loadModules(const std::string& path, std::map<std::string, std::string>& modules,
                         std::string& why) {
  return loadFile(path, modules, why, modulesOf);
}

ConfigStatus originsFromText(std::string_view text, const std::string& name,
                             std::vector<std::string>& origins, std::string& why) {
  return fromText(text, name, origins, why, originsOf);
}

ConfigStatus modulesFromText(std::string_view text, const std::string& name,
                             std::map<std::string, std::string>& modules, std::string& why) {
  return fromText(text, name, modules, why, modulesOf);
}

}  // namespace kestrune::agent
