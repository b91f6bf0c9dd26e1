#include "tools/kestrune/demo.h"

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "com/method_table.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "platform/platform.h"
#include "tools/kestrune/demo_token.h"
#include "tools/kestrune/method_call.h"

namespace kestrune::host {
namespace {

constexpr const char* kWrongPin = "000000";

std::string_view meaningOf(std::int32_t code) {
  switch (code) {
    case kOk:
      return "ok";
    case kNotCompleted:
      return "not completed";
    case kTokenFailure:
      return "the token library failed";
    case kTokenInitFailed:
      return "the token library could not be initialised";
    case kSlotListFailed:
      return "the slot list could not be read";
    case kSessionFailed:
      return "no session could be opened";
    case kPinRefused:
      return "the PIN was refused";
    case kPinLocked:
      return "the PIN is locked";
    default:
      return "see the error table";
  }
}

struct Step {
  std::string title;
  const char* method;
  std::vector<std::string> words;  // the arguments as on the command line
  // expected judges the outcome; it returns the explanation printed after the result, or
  // nullopt when the outcome is not what the demo should show.
  std::function<std::optional<std::string>(const CallOutcome&)> expected;
};

std::optional<std::string> codeIs(const CallOutcome& outcome, std::int32_t want,
                                  std::string_view meaning) {
  if (!outcome.result.isI4() || outcome.result.asI4() != want) return std::nullopt;
  return std::string(meaning);
}

std::vector<Step> demoSteps(const std::string& modulePath) {
  return {
      {"loadLib " + modulePath,
       "loadLib",
       {modulePath},
       [](const CallOutcome& o) { return codeIs(o, kOk, "the library is loaded"); }},
      {"getType (no key yet)",
       "getType",
       {},
       [](const CallOutcome& o) -> std::optional<std::string> {
         if (o.result.isNull()) return "no type: the token holds no FEDI key yet";
         return "the token's type";
       }},
      {"checkPassword with a wrong PIN",
       "checkPassword",
       {kWrongPin},
       [](const CallOutcome& o) { return codeIs(o, kPinRefused, "the PIN was refused"); }},
      {"checkPassword with the right PIN",
       "checkPassword",
       {kDemoUserPin},
       [](const CallOutcome& o) { return codeIs(o, kOk, "logged in"); }},
      {"setCurrentSlot 0",
       "setCurrentSlot",
       {"0"},
       [](const CallOutcome& o) { return codeIs(o, kOk, "the open session is kept"); }},
      {"TV_GETVersion",
       "TV_GETVersion",
       {"0"},
       [](const CallOutcome& o) -> std::optional<std::string> {
         if (!o.result.isText()) return std::nullopt;
         return "the module's file version";
       }},
      {"close",
       "close",
       {},
       [](const CallOutcome&) -> std::optional<std::string> { return "the session is closed"; }},
      {"getErrorCode",
       "getErrorCode",
       {},
       [](const CallOutcome& o) -> std::optional<std::string> {
         if (!o.result.isI4()) return std::nullopt;
         return "close keeps the code of the call before it";
       }},
  };
}

}  // namespace

std::string defaultDemoDir() {
  const std::string data = platform::environmentVariable("XDG_DATA_HOME");
  if (!data.empty() && data.front() == '/') return data + "/kestrune/demo";
  const std::string home = platform::environmentVariable("HOME");
  if (!home.empty()) return home + "/.local/share/kestrune/demo";
  return {};
}

int runDemo(const std::string& dir, const std::string& modulePath, std::ostream& out,
            std::ostream& err) {
  DemoToken token;
  std::string why;
  if (!prepareDemoToken(dir, modulePath, token, why)) {
    err << "kestrune demo: " << why << "\n";
    return 1;
  }
  out << (token.created ? "Initialised a SoftHSM2 token" : "Using the SoftHSM2 token") << " in "
      << dir << " (" << token.configPath << "), user PIN " << kDemoUserPin << "\n";

  TVFEDIMiniKeyCrypt control;
  const std::vector<Step> steps = demoSteps(modulePath);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    out << "[" << i + 1 << "/" << steps.size() << "] " << step.title << " ... " << std::flush;
    const com::Method* method = lookUpMethod(step.method, why);
    std::optional<std::vector<com::Variant>> args;
    if (method != nullptr) args = argumentsFromWords(*method, step.words, why);
    CallOutcome outcome;
    if (!args || !callMethod(control, *method, *args, outcome, why)) {
      out << "not made\n";
      err << "kestrune demo: " << why << "\n";
      return 1;
    }
    const std::optional<std::string> result = resultAsUtf8(outcome.result);
    if (result) out << *result << " ";
    const std::optional<std::string> explanation = step.expected(outcome);
    if (explanation) {
      out << "(" << *explanation << ")\n";
    } else {
      out << "(unexpected; lastError " << outcome.lastError << ": " << meaningOf(outcome.lastError)
          << ")\n";
    }
    for (const Message& message : outcome.messages) {
      out << "      " << message.caption << ": " << message.text << "\n";
    }
    if (!explanation) return 1;
  }
  return 0;
}

}  // namespace kestrune::host
