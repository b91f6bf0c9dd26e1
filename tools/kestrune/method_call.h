// Method-call marshalling shared by `call` and `script`: arguments from command-line words or
// JSON values into dispatch Variants, the call itself with its message boxes captured, and the
// reasons a call could not be made.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "com/method_table.h"
#include "com/variant.h"

namespace kestrune {
class TVFEDIMiniKeyCrypt;
}

namespace kestrune::host {

struct Message {
  std::string caption;
  std::string text;
};

struct CallOutcome {
  com::Variant result;            // empty for a method without a result and for close
  std::int32_t lastError = 0;     // the control's lastErrorCode after the call
  std::vector<Message> messages;  // message boxes the call showed, in order
};

// lookUpMethod returns the method of that name (case-insensitive, as scripts name them), or
// nullptr with the reason in fault.
const com::Method* lookUpMethod(std::string_view name, std::string& fault);

// checkArgumentCount returns false with the reason when count does not match the method.
bool checkArgumentCount(const com::Method& method, std::size_t count, std::string& fault);

// textArgument converts a UTF-8 argument to a text Variant; nullopt with the reason when it is
// not UTF-8 or holds a NUL character, which no text of the control can carry. The reason never
// quotes the text. It makes no copy besides the Variant's (a failed conversion is wiped).
std::optional<com::Variant> textArgument(const com::Method& method, std::size_t index,
                                         std::string_view utf8, std::string& fault);
// i4Argument makes an I4 Variant of a number; nullopt with the reason when it is out of range.
std::optional<com::Variant> i4Argument(const com::Method& method, std::size_t index,
                                       std::int64_t number, std::string& fault);
// i4ArgumentFromWord parses a decimal word (an optional minus sign and digits).
std::optional<com::Variant> i4ArgumentFromWord(const com::Method& method, std::size_t index,
                                               std::string_view word, std::string& fault);

// argumentsFromWords converts command-line words by the method's parameter kinds.
std::optional<std::vector<com::Variant>> argumentsFromWords(const com::Method& method,
                                                            std::span<const std::string> words,
                                                            std::string& fault);

// isSecretParameter tells whether a parameter carries a PIN or a pass phrase (checkPassword's,
// setPassword's, newCertificate's key, a new request's pass phrase in makeRequestCert, the
// CSP methods' PIN). Their values appear in no output and are wiped once used.
bool isSecretParameter(const com::Method& method, std::size_t index);
// wipeSecretArguments overwrites the texts of the method's secret parameters in args.
void wipeSecretArguments(const com::Method& method, std::span<com::Variant> args);
// wipe overwrites a text's characters (not its length): for every copy of a secret.
void wipe(std::string& text);
void wipe(std::u16string& text);

// describeArgument names an argument in faults: "argument 1 (libname: text) of loadLib".
std::string describeArgument(const com::Method& method, std::size_t index);

// callMethod invokes the method through dispatch, capturing the message boxes it shows. It
// returns false with the reason in fault when dispatch refused the call (the method is not
// implemented yet, the arguments do not fit, memory ran out); the call was then not made.
bool callMethod(TVFEDIMiniKeyCrypt& control, const com::Method& method,
                std::span<const com::Variant> args, CallOutcome& outcome, std::string& fault);

// resultAsUtf8 returns a text result in UTF-8 or an I4 in decimal; nullopt for a null text and
// for no result.
std::optional<std::string> resultAsUtf8(const com::Variant& result);

// What a call's non-zero lastError means, for a person: the code's text and, when a library
// could not be loaded, the loader's reason.
std::string explainError(const com::Method& method, std::int32_t lastError);

// signature returns a method's line of the interface listing:
// "18 loadLib(libname: text) -> I4 rtn", "26 setTestVersion(iTest: I4) -> none".
std::string signature(const com::Method& method);
// effectList returns what a call does to the user, as the method table says, in the order of
// com::Effect: "talksToUrl, signs, changesCertificate, storesOnToken".
std::string effectList(const com::Method& method);

}  // namespace kestrune::host
