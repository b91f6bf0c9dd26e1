#include "control/text_conversion.h"

#include <new>
#include <optional>

#include "control/control_codes.h"
#include "control/secret_text.h"
#include "platform/platform.h"

namespace kestrune::control {

std::int32_t textToCodePage950(std::u16string_view text, std::string& out) {
  try {
    // The whole text is converted and cut at its first zero byte, which only a zero character
    // gives, rather than searched for the zero first: one pass over a long text instead of
    // two. Only when text after the zero is malformed does the cut text need its own try.
    if (platform::toCodePage950(text, out)) {
      if (const std::size_t zero = out.find('\0'); zero != std::string::npos) out.resize(zero);
      return +ControlCode::kOk;
    }
    const std::size_t zero = text.find(u'\0');
    if (zero == std::u16string_view::npos) return +ControlCode::kTextBufferFailed;
    return platform::toCodePage950(text.substr(0, zero), out) ? +ControlCode::kOk
                                                              : +ControlCode::kTextBufferFailed;
  } catch (const std::bad_alloc&) {
    return +ControlCode::kNoMemory;
  }
}

std::int32_t secretText(std::u16string_view text, SecretText& out, std::size_t bufferBytes) {
  out.wipe();
  text = text.substr(0, text.find(u'\0'));
  try {
    // Code page 950 takes at most two bytes for a UTF-16 unit.
    out.text_.reserve(2 * text.size() + 1);
  } catch (const std::exception&) {
    return +ControlCode::kNoMemory;
  }
  if (const auto code = textToCodePage950(text, out.text_); code != +ControlCode::kOk) {
    out.wipe();
    return code;
  }
  if (out.size() >= bufferBytes) {
    out.wipe();
    return +ControlCode::kTextBufferFailed;
  }
  return +ControlCode::kOk;
}

std::int32_t textFromCodePage950(std::string_view text, std::u16string& out) {
  try {
    return platform::fromCodePage950(text, out) ? +ControlCode::kOk
                                                : +ControlCode::kResultTextFailed;
  } catch (const std::bad_alloc&) {
    return +ControlCode::kNoMemory;
  }
}

}  // namespace kestrune::control

namespace kestrune {

std::optional<std::string> control::argumentText(ControlState& state, std::u16string_view text) {
  auto converted = toAnsi(state, text);
  if (!converted) state.lastErrorCode = +ControlCode::kBadText;
  return converted;
}

std::optional<std::string> control::toAnsi(ControlState& state, std::u16string_view text) {
  std::string converted;
  if (const auto code = control::textToCodePage950(text, converted); code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  return converted;
}

std::optional<std::string> control::toAnsiBuffer(ControlState& state, std::u16string_view text,
                                                 std::size_t bufferBytes) {
  auto converted = toAnsi(state, text);
  if (converted && converted->size() >= bufferBytes) {
    state.lastErrorCode = +ControlCode::kTextBufferFailed;
    return std::nullopt;
  }
  return converted;
}

std::optional<std::u16string> control::toBstr(ControlState& state, std::string_view text) {
  std::u16string converted;
  if (const auto code = control::textFromCodePage950(text, converted); code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  return converted;
}

}  // namespace kestrune
