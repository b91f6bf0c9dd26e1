#include "tools/kestrune/method_listing.h"

#include <string>

#include "tools/kestrune/method_call.h"

namespace kestrune::host {

using Json = nlohmann::ordered_json;

bool needsPin(const com::Method& method) {
  if (method.effects.has(com::Effect::logsIn)) return true;
  for (std::size_t i = 0; i < method.params().size(); ++i) {
    if (isSecretParameter(method, i)) return true;
  }
  return false;
}

Json methodAsJson(const com::Method& method) {
  Json parameters = Json::array();
  for (const com::Parameter& parameter : method.params()) {
    parameters.push_back({{"name", parameter.name}, {"kind", com::kindName(parameter.kind)}});
  }
  Json result = {{"kind", com::kindName(method.result.kind)}, {"name", nullptr}};
  if (method.result.kind != com::Kind::none) result["name"] = method.result.name;
  Json effects = Json::array();
  for (std::size_t i = 0; i < com::kEffectCount; ++i) {
    const auto effect = static_cast<com::Effect>(i);
    if (method.effects.has(effect)) effects.push_back(com::effectName(effect));
  }
  return {{"dispid", method.dispid},
          {"name", method.name},
          {"parameters", std::move(parameters)},
          {"result", std::move(result)},
          {"effects", std::move(effects)},
          {"needsPin", needsPin(method)}};
}

Json methodsAsJson() {
  Json all = Json::array();
  for (const com::Method& method : com::methods()) all.push_back(methodAsJson(method));
  return all;
}

}  // namespace kestrune::host
