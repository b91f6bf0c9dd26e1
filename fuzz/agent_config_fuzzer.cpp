// The user's agent configuration from any text, read both as the origins allow-list
// (origins.json) and as agent.json's modules: no crash; a file read whole is a JSON object of
// the expected shape, its origins canonical, sorted, without duplicates and each with a folder
// name of its own, its module names and paths as documented, and what was read reads back the
// same from the text the agent writes; a refused file gives nothing and a reason that is
// printable ASCII (it goes to a terminal).
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/agent_config.h"
#include "agent/origin.h"
#include "fuzz/fuzz_require.h"

namespace {

using kestrune::agent::ConfigStatus;
using Json = nlohmann::json;

constexpr const char* kName = "agent.json";

void require(bool condition, const char* what) {
  kestrune::fuzz::require("agent_config_fuzzer", condition, what);
}

bool printableAscii(std::string_view text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

bool isJsonObject(std::string_view text) {
  return Json::parse(text, nullptr, false).is_object();
}

void checkOrigins(std::string_view text) {
  std::vector<std::string> origins;
  std::string why;
  const ConfigStatus status = kestrune::agent::originsFromText(text, kName, origins, why);
  if (status != ConfigStatus::ok) {
    require(status == ConfigStatus::malformed, "a text read as other than ok or malformed");
    require(origins.empty(), "a refused allow-list allows origins");
    require(!why.empty() && printableAscii(why), "a refused allow-list's reason is not printable");
    return;
  }
  require(isJsonObject(text), "an allow-list that is not a JSON object is read");
  std::set<std::string> folders;
  for (std::size_t i = 0; i < origins.size(); ++i) {
    std::string reason;
    require(kestrune::agent::canonicalOrigin(origins[i], reason) == origins[i],
            "an allowed origin is not canonical");
    require(i == 0 || origins[i - 1] < origins[i], "allowed origins not sorted or repeated");
    const std::string folder = kestrune::agent::originFolderName(origins[i]);
    require(folder.find('/') == std::string::npos && folder != "." && folder != "..",
            "an origin's folder name is not one path component");
    require(folders.insert(folder).second, "two origins share a folder");
  }
  // The text saveOrigins writes of this list.
  const std::string saved = Json{{"origins", origins}}.dump(2) + "\n";
  std::vector<std::string> again;
  require(kestrune::agent::originsFromText(saved, kName, again, why) == ConfigStatus::ok &&
              again == origins,
          "an allow-list does not read back as it was written");
}

bool isModuleName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

void checkModules(std::string_view text) {
  std::map<std::string, std::string> modules;
  std::string why;
  const ConfigStatus status = kestrune::agent::modulesFromText(text, kName, modules, why);
  if (status != ConfigStatus::ok) {
    require(status == ConfigStatus::malformed, "a text read as other than ok or malformed");
    require(modules.empty(), "a refused agent.json names modules");
    require(!why.empty() && printableAscii(why), "a refused agent.json's reason is not printable");
    return;
  }
  require(isJsonObject(text), "an agent.json that is not a JSON object is read");
  for (const auto& [name, path] : modules) {
    require(isModuleName(name), "a module name outside the documented characters");
    require(!path.empty() && path.front() == '/' && path.find('\0') == std::string::npos,
            "a module path that is not absolute");
  }
  std::map<std::string, std::string> again;
  require(kestrune::agent::modulesFromText(Json{{"modules", modules}}.dump(), kName, again, why) ==
                  ConfigStatus::ok &&
              again == modules,
          "agent.json's modules do not read back as they were written");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkOrigins(text);
  checkModules(text);
  return 0;
}
