// One call of a `kestrune script` line, shared by the script command and the local agent's
// worker: the JSON array parsed, the method looked up, its arguments counted and converted,
// a caller's check given its say, the call made and its answer built. Secrets are wiped from
// every copy the line made, however it ends.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "com/method_table.h"

namespace kestrune {
class TVFEDIMiniKeyCrypt;
}

namespace kestrune::host {

// ordered_json keeps the fields in the order a reader expects: method, result, lastError.
using Json = nlohmann::ordered_json;

// CallCheck sees a call's arguments (the values after the method name, as many as the method
// takes) before they are converted, and may rewrite them; false with the reason in why
// refuses the call.
using CallCheck = std::function<bool(const com::Method& method, Json& args, std::string& why)>;

enum class LineOutcome { answered, badCall, refused };

// runScriptLine makes the call of one line: answered with the output object in answer
// ({"method", "result", "lastError", "error" (the code's text, beside a non-zero lastError),
// "messages"}), badCall when the line is not a call the
// control takes, refused when check refused it; the reason in fault then, never quoting the
// line. check may be empty.
LineOutcome runScriptLine(TVFEDIMiniKeyCrypt& control, std::string_view line,
                          const CallCheck& check, Json& answer, std::string& fault);

// dumpLine writes a value as one line of JSON; bytes that are not UTF-8 (message boxes carry
// code-page-950 texts converted by the control) are replaced instead of failing the line.
std::string dumpLine(const Json& value);

}  // namespace kestrune::host
