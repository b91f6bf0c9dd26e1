#include "tools/kestrune/script_runner.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "tools/kestrune/method_call.h"
#include "tools/kestrune/module_names.h"
#include "tools/kestrune/script_line.h"

namespace kestrune::host {
namespace {

bool isSkipped(std::string_view line) {
  const auto first = line.find_first_not_of(" \t");
  return first == std::string_view::npos || line[first] == '#';
}

}  // namespace

int runScript(std::istream& in, std::ostream& out, bool failOnError) {
  TVFEDIMiniKeyCrypt control;
  // loadLib takes a p11-kit module's name too.
  const CallCheck namesModules = [](const com::Method& method, Json& args, std::string&) {
    if (method.name == "loadLib" && args.size() == 1 && args[0].is_string())
      args[0] = moduleForLoadLib(args[0].get<std::string>());
    return true;
  };
  int status = 0;
  std::string line;
  for (std::int64_t number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (isSkipped(line)) continue;
    std::string fault;
    Json answer;
    const LineOutcome outcome = runScriptLine(control, line, namesModules, answer, fault);
    wipe(line);  // it may hold a PIN
    if (outcome == LineOutcome::answered) {
      out << dumpLine(answer) << std::endl;
      if (failOnError && answer.value("lastError", 0) != 0) status = 1;
    } else {
      Json faultLine;
      faultLine["line"] = number;
      faultLine["fault"] = fault;
      out << dumpLine(faultLine) << std::endl;
      status = 1;
    }
  }
  return status;
}

}  // namespace kestrune::host
