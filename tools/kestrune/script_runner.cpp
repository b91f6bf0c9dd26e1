#include "tools/kestrune/script_runner.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "com/method_table.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "tools/kestrune/method_call.h"
#include "tools/kestrune/utf8.h"

namespace kestrune::host {
namespace {

// ordered_json keeps the fields in the order a reader expects: method, result, lastError.
using Json = nlohmann::ordered_json;

bool isSkipped(std::string_view line) {
  const auto first = line.find_first_not_of(" \t");
  return first == std::string_view::npos || line[first] == '#';
}

std::optional<com::Variant> argumentFromJson(const com::Method& method, std::size_t index,
                                             const Json& value, std::string& fault) {
  if (value.is_string()) {
    return textArgument(method, index, value.get_ref<const std::string&>(), fault);
  }
  if (value.is_number_integer()) {
    if (value.is_number_unsigned()) {
      const auto number = value.get<std::uint64_t>();
      if (number > static_cast<std::uint64_t>(INT64_MAX)) {
        fault = describeArgument(method, index) + " is outside the 32-bit range";
        return std::nullopt;
      }
      return i4Argument(method, index, static_cast<std::int64_t>(number), fault);
    }
    return i4Argument(method, index, value.get<std::int64_t>(), fault);
  }
  fault = describeArgument(method, index) + " must be a JSON string or integer, not " +
          std::string(value.type_name());
  return std::nullopt;
}

Json resultAsJson(const com::Variant& result) {
  if (result.isText()) return utf16ToUtf8(result.asText());
  if (result.isI4()) return result.asI4();
  return nullptr;
}

// answerOf turns the outcome of a call into its output object.
Json answerOf(const com::Method& method, const CallOutcome& outcome) {
  Json answer;
  answer["method"] = method.name;
  if (!outcome.result.isEmpty()) answer["result"] = resultAsJson(outcome.result);
  answer["lastError"] = outcome.lastError;
  if (!outcome.messages.empty()) {
    Json messages = Json::array();
    for (const Message& message : outcome.messages) {
      messages.push_back({{"caption", message.caption}, {"text", message.text}});
    }
    answer["messages"] = std::move(messages);
  }
  return answer;
}

// makeCall converts the arguments of a parsed line and makes the call; the output object, or
// nullopt with the reason in fault. The secret arguments are wiped, in the JSON and in their
// Variants, however the line ends.
std::optional<Json> makeCall(TVFEDIMiniKeyCrypt& control, const com::Method& method, Json& call,
                             std::string& fault) {
  std::vector<com::Variant> args;
  args.reserve(call.size() - 1);
  struct Wipe {
    const com::Method& method;
    Json& call;
    std::vector<com::Variant>& args;
    ~Wipe() {
      wipeSecretArguments(method, args);
      for (std::size_t i = 1; i < call.size(); ++i) {
        if (isSecretParameter(method, i - 1) && call[i].is_string()) {
          wipe(call[i].get_ref<std::string&>());
        }
      }
    }
  } wipeSecrets{method, call, args};

  for (std::size_t i = 1; i < call.size(); ++i) {
    auto arg = argumentFromJson(method, i - 1, call[i], fault);
    if (!arg) return std::nullopt;
    args.push_back(std::move(*arg));
  }
  CallOutcome outcome;
  if (!callMethod(control, method, args, outcome, fault)) return std::nullopt;
  return answerOf(method, outcome);
}

// parseFault describes a line that isn't JSON without quoting it: the parser's message ends
// with the text it last read, which may be a PIN.
std::string parseFault(const Json::parse_error& error) {
  std::string_view what = error.what();
  return "not valid JSON: " + std::string(what.substr(0, what.find("; last read")));
}

// runLine makes the call of one script line; it returns the output object, or nullopt with
// the reason in fault.
std::optional<Json> runLine(TVFEDIMiniKeyCrypt& control, std::string_view line,
                            std::string& fault) {
  Json call;
  try {
    call = Json::parse(line);
  } catch (const Json::parse_error& error) {
    fault = parseFault(error);
    return std::nullopt;
  }
  if (!call.is_array() || call.empty() || !call.front().is_string()) {
    fault = "expected a JSON array starting with a method name";
    return std::nullopt;
  }
  const com::Method* method = lookUpMethod(call.front().get_ref<const std::string&>(), fault);
  if (method == nullptr) return std::nullopt;
  if (!checkArgumentCount(*method, call.size() - 1, fault)) {
    // Which argument would have been the secret is unclear when the count is wrong: every
    // text of the line goes.
    for (std::size_t i = 1; i < call.size(); ++i) {
      if (call[i].is_string()) wipe(call[i].get_ref<std::string&>());
    }
    return std::nullopt;
  }
  return makeCall(control, *method, call, fault);
}

// Message boxes carry code-page-950 texts converted by the control; replace any byte that is
// not UTF-8 instead of failing the whole line.
std::string dump(const Json& value) {
  return value.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
}

}  // namespace

int runScript(std::istream& in, std::ostream& out) {
  TVFEDIMiniKeyCrypt control;
  int status = 0;
  std::string line;
  for (std::int64_t number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (isSkipped(line)) continue;
    std::string fault;
    const std::optional<Json> answer = runLine(control, line, fault);
    wipe(line);  // it may hold a PIN
    if (answer) {
      out << dump(*answer) << std::endl;
    } else {
      Json faultLine;
      faultLine["line"] = number;
      faultLine["fault"] = fault;
      out << dump(faultLine) << std::endl;
      status = 1;
    }
  }
  return status;
}

}  // namespace kestrune::host
