// A page names a module or a file; the worker decides what that reaches. The checks run
// before the call is converted for the control, on the arguments as the page sent them.
#include "agent/web_policy.h"

#include <array>
#include <string_view>

#include <nlohmann/json.hpp>

#include "agent/printable_text.h"
#include "tools/kestrune/method_call.h"

namespace kestrune::agent {
namespace {

constexpr std::size_t kMaxName = 1024;
constexpr std::size_t kMaxComponent = 255;
constexpr std::size_t kMaxQuoted = 80;

struct FileParameter {
  std::string_view method;
  std::string_view parameter;
  platform::BeneathAccess access;
};
constexpr std::array<FileParameter, 5> kFileParameters{{
    {"loadCACert", "cafile", platform::BeneathAccess::read},
    {"loadCert", "certfile", platform::BeneathAccess::read},
    {"makeRequestCert", "outFile", platform::BeneathAccess::write},
    {"getCert", "outFile", platform::BeneathAccess::write},
    {"getNewCert", "outFile", platform::BeneathAccess::write},
}};

// named describes an argument for a reason: its parameter, and its value unless secret.
std::string named(const com::Method& method, std::size_t index, const std::string& value) {
  std::string text = std::string(method.name) + "'s " + std::string(method.params()[index].name);
  if (host::isSecretParameter(method, index)) return text;
  return text + " \"" + printable(value, kMaxQuoted) + "\"";
}

bool resolveModule(const WebPolicy& policy, std::string& name, std::string& why) {
  const auto module =
      name.find('/') == std::string::npos ? policy.modules.find(name) : policy.modules.end();
  if (module != policy.modules.end()) {
    name = module->second;
    return true;
  }
  why =
      "loadLib takes the name of a registered PKCS#11 module (p11-kit's or agent.json's), not a "
      "path: ";
  if (policy.modules.empty()) why += "none is registered";
  for (auto it = policy.modules.begin(); it != policy.modules.end(); ++it) {
    if (it != policy.modules.begin()) why += ", ";
    why += it->first;
  }
  return false;
}

// nameProblem checks the shape of a file name alone, for a clear reason before any open; empty
// when it is a relative name of plain components, else a clause that reads after "it". Printable
// ASCII only: the control turns the path into code page 950, and a character it maps to '.' or a
// separator must not slip past these checks.
std::string nameProblem(std::string_view name) {
  if (name.empty()) return "is empty";
  if (name.size() > kMaxName) return "is longer than 1024 bytes";
  if (name.front() == '/') return "is an absolute path";
  for (const char c : name) {
    if (c < 0x20 || c > 0x7E || c == '\\') {
      return "has characters other than printable ASCII (or a backslash)";
    }
  }
  std::size_t start = 0;
  while (true) {
    const auto end = name.find('/', start);
    const std::string_view component = name.substr(start, end - start);
    if (component.empty()) return "has an empty folder name";
    if (component == "." || component == "..") return "has a '.' or '..' component";
    if (component.size() > kMaxComponent) return "has a component longer than 255 bytes";
    if (end == std::string_view::npos) return {};
    start = end + 1;
  }
}

bool confineFile(const WebPolicy& policy, const com::Method& method, std::size_t index,
                 platform::BeneathAccess access, std::string& name, CallFiles& files,
                 std::string& why) {
  std::string problem = nameProblem(name);
  if (problem.empty() && !policy.originFolder) problem = "has no origin folder to be in";
  std::string path;
  if (problem.empty() && files.open(policy.originFolder, name, access, path, problem)) {
    name = std::move(path);
    return true;
  }
  why = named(method, index, name) +
        " must name a regular file inside the page's own folder (a relative name, no '..', no "
        "symbolic link, no second name); it " +
        problem;
  return false;
}

}  // namespace

bool applyWebPolicy(const WebPolicy& policy, const com::Method& method,
                    nlohmann::ordered_json& args, CallFiles& files, std::string& why) {
  if (!args.is_array()) {
    why = "the arguments are not a list";
    return false;
  }
  const auto textAt = [&](std::size_t index) -> std::string* {
    if (index >= args.size()) return nullptr;
    return args[index].is_string() ? &args[index].get_ref<std::string&>() : nullptr;
  };
  const auto notText = [&](std::size_t index) {
    why = std::string(method.name) + "'s " + std::string(method.params()[index].name) +
          " must be a text";
    return false;
  };
  // A parameter the table no longer names is refused, not let through unchecked.
  const auto missing = [&](std::string_view parameter) {
    why = std::string(method.name) + " has no parameter " + std::string(parameter) + " to check";
    return false;
  };
  if (method.name == "loadLib") {
    const auto index = com::parameterIndex(method, "libname");
    if (!index) return missing("libname");
    std::string* name = textAt(*index);
    return name != nullptr ? resolveModule(policy, *name, why) : notText(*index);
  }
  for (const FileParameter& file : kFileParameters) {
    if (file.method != method.name) continue;
    const auto index = com::parameterIndex(method, file.parameter);
    if (!index) return missing(file.parameter);
    std::string* name = textAt(*index);
    if (name == nullptr) return notText(*index);
    if (!confineFile(policy, method, *index, file.access, *name, files, why)) return false;
  }
  return true;
}

}  // namespace kestrune::agent
