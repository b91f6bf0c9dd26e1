#include "tools/kestrune/script_line.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "tools/kestrune/method_call.h"
#include "tools/kestrune/utf8.h"

namespace kestrune::host {
namespace {

// givenText names what a JSON argument was, for a fault: its type, and its value unless the
// parameter carries a secret (a PIN given as a number is still the PIN).
std::string givenText(const com::Method& method, std::size_t index, const Json& value) {
  if (isSecretParameter(method, index)) return std::string("a JSON ") + value.type_name();
  constexpr std::size_t kShown = 40;
  std::string shown = dumpLine(value);
  if (shown.size() > kShown) shown = shown.substr(0, kShown) + "...";
  if (value.is_string()) return "the string " + shown;
  if (value.is_number()) return "the number " + shown;
  if (value.is_boolean() || value.is_null()) return shown;
  return std::string("a JSON ") + value.type_name();
}

// argumentFromJson converts an argument of the parameter's own JSON type: a string for a text,
// an integer for an I4. The control's interface is typed, so "1" is no I4 and 1 no text.
std::optional<com::Variant> argumentFromJson(const com::Method& method, std::size_t index,
                                             const Json& value, std::string& fault) {
  const bool wantsI4 = method.params()[index].kind == com::Kind::i4;
  if (!wantsI4 && value.is_string()) {
    return textArgument(method, index, value.get_ref<const std::string&>(), fault);
  }
  if (wantsI4 && value.is_number_integer()) {
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
  fault = describeArgument(method, index) + " must be " +
          (wantsI4 ? "a JSON integer" : "a JSON string") + ", not " +
          givenText(method, index, value);
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
  if (outcome.lastError != 0) answer["error"] = explainError(method, outcome.lastError);
  if (!outcome.messages.empty()) {
    Json messages = Json::array();
    for (const Message& message : outcome.messages) {
      messages.push_back({{"caption", message.caption}, {"text", message.text}});
    }
    answer["messages"] = std::move(messages);
  }
  return answer;
}

// SecretsWiped overwrites the secret arguments, in the JSON and in their Variants, when the
// line is over.
struct SecretsWiped {
  const com::Method& method;
  Json& args;
  std::vector<com::Variant>& variants;
  ~SecretsWiped() {
    wipeSecretArguments(method, variants);
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (isSecretParameter(method, i) && args[i].is_string()) {
        wipe(args[i].get_ref<std::string&>());
      }
    }
  }
};

// makeCall lets check see the arguments, converts them and makes the call.
LineOutcome makeCall(TVFEDIMiniKeyCrypt& control, const com::Method& method, Json& args,
                     const CallCheck& check, Json& answer, std::string& fault) {
  std::vector<com::Variant> variants;
  variants.reserve(args.size());
  const SecretsWiped wipeSecrets{method, args, variants};

  if (check && !check(method, args, fault)) return LineOutcome::refused;
  for (std::size_t i = 0; i < args.size(); ++i) {
    auto arg = argumentFromJson(method, i, args[i], fault);
    if (!arg) return LineOutcome::badCall;
    variants.push_back(std::move(*arg));
  }
  CallOutcome outcome;
  if (!callMethod(control, method, variants, outcome, fault)) return LineOutcome::badCall;
  answer = answerOf(method, outcome);
  return LineOutcome::answered;
}

// parseFault describes a line that isn't JSON without quoting it: the parser's message ends
// with the text it last read, which may be a PIN.
std::string parseFault(const Json::parse_error& error) {
  std::string_view what = error.what();
  return "not valid JSON: " + std::string(what.substr(0, what.find("; last read")));
}

}  // namespace

LineOutcome runScriptLine(TVFEDIMiniKeyCrypt& control, std::string_view line,
                          const CallCheck& check, Json& answer, std::string& fault) {
  Json call;
  try {
    call = Json::parse(line);
  } catch (const Json::parse_error& error) {
    fault = parseFault(error);
    return LineOutcome::badCall;
  } catch (const Json::exception&) {
    // A number beyond a double's range (1e999) is no parse error to the parser, but its own
    // exception; its message quotes the number, so it isn't passed on either.
    fault = "not valid JSON: a number outside the range of a double";
    return LineOutcome::badCall;
  }
  if (!call.is_array() || call.empty() || !call.front().is_string()) {
    fault = "expected a JSON array starting with a method name";
    return LineOutcome::badCall;
  }
  const com::Method* method = lookUpMethod(call.front().get_ref<const std::string&>(), fault);
  if (method == nullptr || !checkArgumentCount(*method, call.size() - 1, fault)) {
    // Which argument would have been the secret is unclear for a misspelt method or a wrong
    // count: every text of the line goes.
    for (Json& value : call) {
      if (value.is_string()) wipe(value.get_ref<std::string&>());
    }
    return LineOutcome::badCall;
  }
  // The arguments alone, moved (not copied) out of the line.
  call.erase(call.begin());
  return makeCall(control, *method, call, check, answer, fault);
}

std::string dumpLine(const Json& value) {
  return value.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
}

}  // namespace kestrune::host
