// The agent's configuration, both files in $XDG_CONFIG_HOME/kestrune/:
//   origins.json  {"origins": ["https://bank.example", "http://127.0.0.1:8080"]}
//                 the allow-list: the only origins whose pages get an answer
//   agent.json    {"modules": {"vendor-card": "/opt/vendor/lib/pkcs11.so"}}
//                 PKCS#11 modules the user lets pages load by name, beside p11-kit's
// Both are kept by the user (`kestrune origins ...`, an editor); the agent only reads them.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::agent {

inline constexpr std::size_t kMaxConfigFile = 64 * 1024;

std::string originsFilePath();  // empty when no folder can be had (no HOME, no XDG_...)
std::string agentConfigPath();

enum class ConfigStatus { ok, unreadable, malformed };

// loadOrigins reads the allow-list at path: a missing file is an empty list (ok). Every entry
// must be an origin in canonical form (canonicalOrigin gives it back unchanged); a file with
// any other entry, of another shape, too large or unreadable gives that status and the reason
// in why, and origins empty: the agent then answers no page.
ConfigStatus loadOrigins(const std::string& path, std::vector<std::string>& origins,
                         std::string& why);
// saveOrigins replaces the file with the list (sorted, no duplicates) atomically, mode 0600;
// false with the reason (a symbolic link is refused, not replaced).
bool saveOrigins(const std::string& path, const std::vector<std::string>& origins,
                 std::string& why);

// loadModules reads agent.json's "modules": name to absolute module path. A missing file, or
// one without "modules", is an empty map (ok). Names are 1-64 characters of letters, digits,
// '.', '_' and '-'; paths are absolute. Anything else gives malformed with the reason.
ConfigStatus loadModules(const std::string& path, std::map<std::string, std::string>& modules,
                         std::string& why);

// originsFromText and modulesFromText read a file's text as loadOrigins and loadModules read
// the file (name stands for it in the reasons): ok, or malformed with the reason in why.
ConfigStatus originsFromText(std::string_view text, const std::string& name,
                             std::vector<std::string>& origins, std::string& why);
ConfigStatus modulesFromText(std::string_view text, const std::string& name,
                             std::map<std::string, std::string>& modules, std::string& why);

}  // namespace kestrune::agent
