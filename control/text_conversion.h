// Text conversion between the UTF-16 texts of the control's interface and the code-page-950
// texts of every layer below it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "control/control_state.h"
#include "platform/platform.h"

namespace kestrune::control {

// textToCodePage950 converts text up to its first zero character (the interface's texts are
// zero-terminated BSTRs) and returns 0; 502 for malformed UTF-16 (a lone surrogate), 2 when
// memory runs out. A character that Big5 lacks becomes '?'.
// asciiPrefix, when given, receives the length of the text's leading run of ASCII characters,
// which out repeats unit for byte.
// written, when given, sees the output as it grows (platform::toCodePage950).
std::int32_t textToCodePage950(std::u16string_view text, std::string& out,
                               std::size_t* asciiPrefix = nullptr,
                               const platform::TextWritten& written = {},
                               const platform::OutputMoves& outputMoves = {});
// textFromCodePage950 returns 0 and the UTF-16 text; 503 when the bytes aren't valid Big5,
// 2 when memory runs out.
// Both keep out's capacity: a caller converting a long text may reserve the room first.
std::int32_t textFromCodePage950(std::string_view text, std::u16string& out);

// A stretch of a code-page-950 text that repeats, byte for unit, the UTF-16 text it was
// converted from: ASCII, as the leading run that textToCodePage950 reports.
struct ReusedUnits {
  std::size_t textAt = 0;    // first byte in the code-page-950 text
  std::size_t sourceAt = 0;  // first unit in the UTF-16 text
  std::size_t length = 0;
};

// This one gives what the one above gives, but takes the stretches in `reused` (in the text's
// order, not overlapping) from source instead of converting them back: one copy instead of a
// pass that reads the bytes and widens them. Each stretch must be ASCII in text and either
// start it or follow an ASCII byte, so that no character of the text spans a stretch's edge.
// When the stretches cover less than half of the text, it is converted as a whole.
std::int32_t textFromCodePage950(std::string_view text, std::u16string_view source,
                                 std::span<const ReusedUnits> reused, std::u16string& out);

// The conversions of the methods' texts, reporting failures in lastErrorCode.
// toAnsi returns the text in code page 950, up to its first zero character; on failure it
// sets lastErrorCode to 502 (2 when memory runs out) and returns nullopt.
std::optional<std::string> toAnsi(ControlState& state, std::u16string_view text);
// argumentText is toAnsi for a method's text argument: on failure the method's own code,
// 3, replaces toAnsi's.
std::optional<std::string> argumentText(ControlState& state, std::u16string_view text);
// toAnsiBuffer converts as toAnsi into a buffer of bufferBytes bytes (terminator included):
// a text that doesn't fit fails with 502 as well.
std::optional<std::string> toAnsiBuffer(ControlState& state, std::u16string_view text,
                                        std::size_t bufferBytes);
// toBstr returns the code-page-950 text as UTF-16; on failure it sets lastErrorCode to 503
// (2 when memory runs out) and returns nullopt.
std::optional<std::u16string> toBstr(ControlState& state, std::string_view text);

}  // namespace kestrune::control
