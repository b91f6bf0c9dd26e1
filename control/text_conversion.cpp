#include "control/text_conversion.h"

#include <new>
#include <optional>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "platform/platform.h"

namespace kestrune::control {

std::int32_t textToCodePage950(std::u16string_view text, std::string& out) {
  try {
    // The whole text is converted and cut at its first zero byte, which only a zero character
    // gives, rather than searched for the zero first: one pass over a long text instead of
    // two. Only when text after the zero is malformed does the cut text need its own try.
    if (platform::toCodePage950(text, out)) {
      if (const std::size_t zero = out.find('\0'); zero != std::string::npos) out.resize(zero);
      return kOk;
    }
    const std::size_t zero = text.find(u'\0');
    if (zero == std::u16string_view::npos) return kTextBufferFailed;
    return platform::toCodePage950(text.substr(0, zero), out) ? kOk : kTextBufferFailed;
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

std::int32_t textFromCodePage950(std::string_view text, std::u16string& out) {
  try {
    return platform::fromCodePage950(text, out) ? kOk : kResultTextFailed;
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

}  // namespace kestrune::control

namespace kestrune {

std::optional<std::string> TVFEDIMiniKeyCrypt::argumentText(std::u16string_view text) {
  auto converted = toAnsi(text);
  if (!converted) lastErrorCode = kBadText;
  return converted;
}

std::optional<std::string> TVFEDIMiniKeyCrypt::toAnsi(std::u16string_view text) {
  std::string converted;
  if (const auto code = control::textToCodePage950(text, converted); code != kOk) {
    lastErrorCode = code;
    return std::nullopt;
  }
  return converted;
}

std::optional<std::string> TVFEDIMiniKeyCrypt::toAnsiBuffer(std::u16string_view text,
                                                            std::size_t bufferBytes) {
  auto converted = toAnsi(text);
  if (converted && converted->size() >= bufferBytes) {
    lastErrorCode = kTextBufferFailed;
    return std::nullopt;
  }
  return converted;
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::toBstr(std::string_view text) {
  std::u16string converted;
  if (const auto code = control::textFromCodePage950(text, converted); code != kOk) {
    lastErrorCode = code;
    return std::nullopt;
  }
  return converted;
}

}  // namespace kestrune
