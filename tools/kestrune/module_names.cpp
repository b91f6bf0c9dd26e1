#include "tools/kestrune/module_names.h"

#include "agent/web_policy.h"

namespace kestrune::host {

std::string moduleForLoadLib(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return name;
  const auto modules = agent::registeredModules();
  const auto module = modules.find(name);
  return module != modules.end() ? module->second : name;
}

}  // namespace kestrune::host
