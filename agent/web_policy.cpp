// A page names a module or a file; the worker decides what that reaches. The checks run
// before the call is converted for the control, on the arguments as the page sent them.
#include "agent/web_policy.h"

#include <array>
#include <filesystem>
#include <string_view>

#include <nlohmann/json.hpp>

#include "agent/printable_text.h"
#include "tools/kestrune/method_call.h"

namespace kestrune::agent {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxName = 1024;
constexpr std::size_t kMaxComponent = 255;
constexpr std::size_t kMaxQuoted = 80;

struct FileParameter {
  std::string_view method;
  std::string_view parameter;
};
constexpr std::array<FileParameter, 5> kFileParameters{{
    {"loadCACert", "cafile"},
    {"loadCert", "certfile"},
    {"makeRequestCert", "outFile"},
    {"getCert", "outFile"},
    {"getNewCert", "outFile"},
}};

std::optional<std::size_t> parameterIndex(const com::Method& method, std::string_view name) {
  const auto parameters = method.params();
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (parameters[i].name == name) return i;
  }
  return std::nullopt;
}

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

// nameProblem checks the shape of a file name alone; empty when it is a relative name of
// plain components. Printable ASCII only: the control turns the path into code page 950, and
// a character it maps to '.' or a separator must not slip past these checks.
std::string nameProblem(std::string_view name) {
  if (name.empty()) return "an empty name";
  if (name.size() > kMaxName) return "longer than 1024 bytes";
  if (name.front() == '/') return "an absolute path";
  for (const char c : name) {
    if (c < 0x20 || c > 0x7E || c == '\\') {
      return "characters other than printable ASCII (or a backslash)";
    }
  }
  std::size_t start = 0;
  while (true) {
    const auto end = name.find('/', start);
    const std::string_view component = name.substr(start, end - start);
    if (component.empty()) return "an empty folder name";
    if (component == "." || component == "..") return "a '.' or '..' component";
    if (component.size() > kMaxComponent) return "a component longer than 255 bytes";
    if (end == std::string_view::npos) return {};
    start = end + 1;
  }
}

bool inside(const fs::path& path, const std::string& root) {
  const std::string text = path.string();
  return text == root || (text.size() > root.size() && text.starts_with(root) &&
                          (root.back() == '/' || text[root.size()] == '/'));
}

// placeProblem follows the name from the origin's folder: every folder on the way that exists
// must resolve inside it, and the file itself must not be a symbolic link. A missing folder
// ends the walk: the control doesn't make folders, so the call will fail there.
std::string placeProblem(const fs::path& root, std::string_view name) {
  fs::path path = root;
  const fs::path relative{std::string(name)};
  for (auto component = relative.begin(); component != relative.end(); ++component) {
    path /= *component;
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (status.type() == fs::file_type::not_found) return {};
    if (error) return "a part of it that can't be examined";
    const bool last = std::next(component) == relative.end();
    if (last) return status.type() == fs::file_type::symlink ? "a symbolic link" : "";
    const fs::path real = fs::canonical(path, error);
    if (error || !inside(real, root.string())) return "a folder that leads out of it";
  }
  return {};
}

bool confineFile(const WebPolicy& policy, const com::Method& method, std::size_t index,
                 std::string& name, std::string& why) {
  std::string problem = nameProblem(name);
  std::error_code error;
  const fs::path root = fs::canonical(policy.originFolder, error);
  if (problem.empty() && error) problem = "no origin folder to hold it";
  if (problem.empty()) problem = placeProblem(root, name);
  if (!problem.empty()) {
    why = named(method, index, name) +
          " must name a file inside the page's own folder (a relative name, no '..', no "
          "link leading out); it has " +
          problem;
    return false;
  }
  name = (root / name).string();
  return true;
}

}  // namespace

bool applyWebPolicy(const WebPolicy& policy, const com::Method& method,
                    nlohmann::ordered_json& args, std::string& why) {
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
    const auto index = parameterIndex(method, "libname");
    if (!index) return missing("libname");
    std::string* name = textAt(*index);
    return name != nullptr ? resolveModule(policy, *name, why) : notText(*index);
  }
  for (const FileParameter& file : kFileParameters) {
    if (file.method != method.name) continue;
    const auto index = parameterIndex(method, file.parameter);
    if (!index) return missing(file.parameter);
    std::string* name = textAt(*index);
    if (name == nullptr) return notText(*index);
    if (!confineFile(policy, method, *index, *name, why)) return false;
  }
  return true;
}

}  // namespace kestrune::agent
