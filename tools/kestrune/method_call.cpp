#include "tools/kestrune/method_call.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <new>
#include <utility>

#include "com/dispatch.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/control_codes.h"
#include "control/error_text.h"
#include "platform/platform.h"
#include "tools/kestrune/utf8.h"

namespace kestrune::host {
namespace {

// MessageCapture collects the message boxes shown while it lives, then puts the previous
// sink back.
class MessageCapture {
 public:
  explicit MessageCapture(std::vector<Message>& messages)
      : previous_(
            platform::setMessageSink([&messages](std::string_view text, std::string_view caption) {
              messages.push_back({std::string(caption), std::string(text)});
            })) {}
  ~MessageCapture() { platform::setMessageSink(std::move(previous_)); }
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

 private:
  platform::MessageSink previous_;
};

// The parameters that carry a PIN or a pass phrase, by method. makeRequestCert's optional data
// is the pass phrase of a new request (and the reason of a revocation).
struct SecretParameter {
  std::string_view method;
  std::string_view parameter;
};
constexpr SecretParameter kSecretParameters[] = {
    {"checkPassword", "checkData"},
    {"setPassword", "oldpass"},
    {"setPassword", "newpass"},
    {"newCertificate", "key"},
    {"makeRequestCert", "OptionalData"},
    {"FEDIMessageSignWithCSP", "strPin"},
    {"FEDIMessageSignWithCSP_Init", "strPin"},
};

std::string parameterList(const com::Method& method) {
  std::string list;
  for (const com::Parameter& parameter : method.params()) {
    if (!list.empty()) list += ", ";
    list += parameter.name;
    list += ": ";
    list += com::kindName(parameter.kind);
  }
  return list;
}

}  // namespace

const com::Method* lookUpMethod(std::string_view name, std::string& fault) {
  const com::Method* method = com::findMethod(name);
  if (method == nullptr) fault = "no method named \"" + std::string(name) + "\" in the interface";
  return method;
}

bool checkArgumentCount(const com::Method& method, std::size_t count, std::string& fault) {
  const std::size_t wanted = method.params().size();
  if (count == wanted) return true;
  fault = std::string(method.name) + " takes " + std::to_string(wanted) +
          (wanted == 1 ? " argument" : " arguments") + " (" + parameterList(method) + "), got " +
          std::to_string(count);
  return false;
}

std::string describeArgument(const com::Method& method, std::size_t index) {
  std::string text = "argument " + std::to_string(index + 1);
  const auto parameters = method.params();
  if (index < parameters.size()) {
    text += " (";
    text += parameters[index].name;
    text += ": ";
    text += com::kindName(parameters[index].kind);
    text += ")";
  }
  return text + " of " + std::string(method.name);
}

bool isSecretParameter(const com::Method& method, std::size_t index) {
  const auto parameters = method.params();
  if (index >= parameters.size()) return false;
  for (const SecretParameter& secret : kSecretParameters) {
    if (secret.method == method.name && secret.parameter == parameters[index].name) return true;
  }
  return false;
}

void wipe(std::string& text) {
  OPENSSL_cleanse(text.data(), text.size());
}

void wipe(std::u16string& text) {
  OPENSSL_cleanse(text.data(), text.size() * sizeof(char16_t));
}

void wipeSecretArguments(const com::Method& method, std::span<com::Variant> args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!isSecretParameter(method, i) || !args[i].isText()) continue;
    // The Variant is the caller's own, not a constant: only its accessor is const.
    wipe(const_cast<std::u16string&>(args[i].asText()));
  }
}

std::optional<com::Variant> textArgument(const com::Method& method, std::size_t index,
                                         std::string_view utf8, std::string& fault) {
  // Never more UTF-16 units than UTF-8 bytes, and always more than fit in the string object
  // itself: the text lives in one heap buffer that moves on into the Variant, so no copy of a
  // secret stays behind in a reallocation or a moved-from string.
  constexpr std::size_t kHeapUnits = 16;
  std::u16string text;
  text.reserve(std::max(utf8.size(), kHeapUnits));
  const auto refuse = [&](const char* why) {
    text.resize(text.capacity());  // the whole buffer, whatever the conversion left in it
    wipe(text);
    fault = describeArgument(method, index) + why;
    return std::nullopt;
  };
  if (!utf8ToUtf16(utf8, text)) return refuse(" is not valid UTF-8");
  if (text.find(u'\0') != std::u16string::npos) return refuse(" holds a NUL character");
  return com::Variant(std::move(text));
}

std::optional<com::Variant> i4Argument(const com::Method& method, std::size_t index,
                                       std::int64_t number, std::string& fault) {
  if (number < std::numeric_limits<std::int32_t>::min() ||
      number > std::numeric_limits<std::int32_t>::max()) {
    fault = describeArgument(method, index) + " is outside the 32-bit range";
    return std::nullopt;
  }
  return com::Variant(static_cast<std::int32_t>(number));
}

std::optional<com::Variant> i4ArgumentFromWord(const com::Method& method, std::size_t index,
                                               std::string_view word, std::string& fault) {
  std::int32_t number = 0;
  const char* end = word.data() + word.size();
  const auto [stop, error] = std::from_chars(word.data(), end, number);
  if (error == std::errc::result_out_of_range) {
    fault = describeArgument(method, index) + " is outside the 32-bit range";
    return std::nullopt;
  }
  if (word.empty() || error != std::errc() || stop != end) {
    fault = describeArgument(method, index) + " must be a decimal integer, not \"" +
            std::string(word) + "\"";
    return std::nullopt;
  }
  return com::Variant(number);
}

std::optional<std::vector<com::Variant>> argumentsFromWords(const com::Method& method,
                                                            std::span<const std::string> words,
                                                            std::string& fault) {
  if (!checkArgumentCount(method, words.size(), fault)) return std::nullopt;
  std::vector<com::Variant> args;
  args.reserve(words.size());
  const auto parameters = method.params();
  for (std::size_t i = 0; i < words.size(); ++i) {
    auto arg = parameters[i].kind == com::Kind::i4 ? i4ArgumentFromWord(method, i, words[i], fault)
                                                   : textArgument(method, i, words[i], fault);
    if (!arg) {
      wipeSecretArguments(method, args);
      return std::nullopt;
    }
    args.push_back(std::move(*arg));
  }
  return args;
}

bool callMethod(TVFEDIMiniKeyCrypt& control, const com::Method& method,
                std::span<const com::Variant> args, CallOutcome& outcome, std::string& fault) {
  outcome = CallOutcome();
  platform::libraryError();  // an earlier failure must not pass for this call's
  std::size_t argumentError = 0;
  com::HResult status = com::kSuccess;
  {
    MessageCapture capture(outcome.messages);
    status = com::invoke(control, method.dispid, args, outcome.result, &argumentError);
  }
  switch (status) {
    case com::kSuccess:
      outcome.lastError = control.getErrorCode();
      return true;
    case com::kBadParamCount:
      checkArgumentCount(method, args.size(), fault);
      break;
    case com::kTypeMismatch:
      fault = describeArgument(method, argumentError) + " must be " +
              (argumentError < method.params().size() &&
                       method.params()[argumentError].kind == com::Kind::i4
                   ? "an I4 number"
                   : "a text");
      break;
    case com::kOutOfMemory:
      fault = "out of memory";
      break;
    case com::kMemberNotFound:
      fault = "no method with DISPID " + std::to_string(method.dispid);
      break;
  }
  return false;
}

std::optional<std::string> resultAsUtf8(const com::Variant& result) {
  if (result.isText()) return utf16ToUtf8(result.asText());
  if (result.isI4()) return std::to_string(result.asI4());
  return std::nullopt;
}

std::string signature(const com::Method& method) {
  std::string line = std::to_string(method.dispid) + " " + std::string(method.name) + "(" +
                     parameterList(method) + ") -> " +
                     std::string(com::kindName(method.result.kind));
  if (method.result.kind != com::Kind::none) {
    line += " ";
    line += method.result.name;
  }
  return line;
}

std::string effectList(const com::Method& method) {
  std::string list;
  for (std::size_t i = 0; i < com::kEffectCount; ++i) {
    const auto effect = static_cast<com::Effect>(i);
    if (!method.effects.has(effect)) continue;
    if (!list.empty()) list += ", ";
    list += com::effectName(effect);
  }
  return list;
}

std::string explainError(const com::Method& method, std::int32_t lastError) {
  if (lastError == +ControlCode::kTokenFailure && method.name == "loadLib") {
    const std::string why = platform::libraryError();
    if (!why.empty()) return "the PKCS#11 library could not be loaded: " + why;
  }
  const std::string text = errorCodeText(lastError);
  return text.empty() ? "no text for this code" : text;
}

}  // namespace kestrune::host
