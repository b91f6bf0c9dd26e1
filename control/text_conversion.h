// Text conversion between the UTF-16 texts of the control's interface and the code-page-950
// texts of every layer below it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::control {

// textToCodePage950 converts text up to its first zero character (the interface's texts are
// zero-terminated BSTRs) and returns 0; 502 for malformed UTF-16 (a lone surrogate), 2 when
// memory runs out. A character that Big5 lacks becomes '?'.
std::int32_t textToCodePage950(std::u16string_view text, std::string& out);
// textFromCodePage950 returns 0 and the UTF-16 text; 503 when the bytes aren't valid Big5,
// 2 when memory runs out.
// Both keep out's capacity: a caller converting a long text may reserve the room first.
std::int32_t textFromCodePage950(std::string_view text, std::u16string& out);

}  // namespace kestrune::control
