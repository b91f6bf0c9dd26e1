#include "tools/kestrune/demo_calls.h"

#include <utility>

#include "com/method_table.h"
#include "control/error_text.h"
#include "platform/platform.h"
#include "tools/kestrune/utf8.h"

namespace kestrune::host {

Verdict expected(std::string meaning) {
  return {true, std::move(meaning)};
}

Verdict unexpected(const CallOutcome& outcome, const std::string& wanted) {
  const std::string meaning = errorCodeText(outcome.lastError);
  std::string note = "unexpected; lastError " + std::to_string(outcome.lastError) + ": " +
                     (meaning.empty() ? "no text for this code" : meaning);
  if (!wanted.empty()) note += "; expected " + wanted;
  return {false, std::move(note)};
}

Arguments words(std::vector<std::string> fixed) {
  return [fixed = std::move(fixed)](const DemoContext&) { return fixed; };
}

DemoStep call(std::string title, const char* method, Arguments arguments, Judge judge) {
  return {std::move(title), [method, arguments = std::move(arguments),
                             judge = std::move(judge)](DemoContext& context) {
            StepOutcome step;
            std::string why;
            const com::Method* found = lookUpMethod(method, why);
            std::optional<std::vector<com::Variant>> args;
            if (found != nullptr) args = argumentsFromWords(*found, arguments(context), why);
            CallOutcome outcome;
            if (!args || !callMethod(context.control, *found, *args, outcome, why)) {
              step.note = "not made: " + why;
              return step;
            }
            step.result = resultAsUtf8(outcome.result);
            const Verdict verdict = judge(outcome, context);
            step.asExpected = verdict.asExpected;
            step.note = verdict.note;
            step.messages = std::move(outcome.messages);
            return step;
          }};
}

DemoStep timed(DemoStep step) {
  return {std::move(step.title), [run = std::move(step.run)](DemoContext& context) {
            context.requestedAt = platform::currentTime();
            StepOutcome outcome = run(context);
            context.answeredAt = platform::currentTime();
            return outcome;
          }};
}

Judge codeIs(std::int32_t want, std::string meaning) {
  return [want, meaning = std::move(meaning)](const CallOutcome& o, DemoContext&) {
    if (!o.result.isI4() || o.result.asI4() != want) return unexpected(o);
    return expected(meaning);
  };
}

Judge textIs(std::function<std::string(const DemoContext&)> want, std::string meaning) {
  return [want = std::move(want), meaning = std::move(meaning)](const CallOutcome& o,
                                                                DemoContext& context) {
    const std::string wanted = want(context);
    if (!o.result.isText() || resultAsUtf8(o.result) != wanted) return unexpected(o, wanted);
    return expected(meaning);
  };
}

Judge textIs(std::string want, std::string meaning) {
  return textIs([want = std::move(want)](const DemoContext&) { return want; }, std::move(meaning));
}

// Methods without a result: the call having been made is the outcome.
Judge made(std::string meaning) {
  return [meaning = std::move(meaning)](const CallOutcome&, DemoContext&) {
    return expected(meaning);
  };
}

std::string textOf(const CallOutcome& o) {
  return utf16ToUtf8(o.result.asText());
}

}  // namespace kestrune::host
