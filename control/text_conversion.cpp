#include "control/text_conversion.h"

#include <new>
#include <optional>

#include "control/control_codes.h"
#include "control/secret_text.h"
#include "platform/platform.h"

namespace kestrune::control {

std::int32_t textToCodePage950(std::u16string_view text, std::string& out, std::size_t* asciiPrefix,
                               const platform::TextWritten& written,
                               const platform::OutputMoves& outputMoves) {
  try {
    return platform::toCodePage950(text, out, platform::TextEnd::firstZero, asciiPrefix, written,
                                   outputMoves)
               ? +ControlCode::kOk
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

std::int32_t textFromCodePage950(std::string_view text, std::u16string_view source,
                                 std::span<const ReusedUnits> reused, std::u16string& out) {
  std::size_t covered = 0;
  for (const ReusedUnits& stretch : reused) covered += stretch.length;
  if (covered < text.size() / 2) return textFromCodePage950(text, out);
  try {
    // The code page keeps no state between characters, and every edge between the parts lies
    // between two characters, so the parts convert as the whole text does.
    out.clear();
    out.reserve(text.size());
    std::u16string part;
    std::size_t at = 0;
    const auto convertUpTo = [&](std::size_t end) {
      if (end == at) return true;
      if (!platform::fromCodePage950(text.substr(at, end - at), part)) return false;
      out.append(part);
      return true;
    };
    for (const ReusedUnits& stretch : reused) {
      if (stretch.length == 0) continue;
      if (!convertUpTo(stretch.textAt)) return +ControlCode::kResultTextFailed;
      out.append(source.substr(stretch.sourceAt, stretch.length));
      at = stretch.textAt + stretch.length;
    }
    return convertUpTo(text.size()) ? +ControlCode::kOk : +ControlCode::kResultTextFailed;
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
