// UTF-8 on the console, UTF-16 towards the control.
#pragma once

#include <string>
#include <string_view>

namespace kestrune::host {

// utf8ToUtf16 converts strict UTF-8; it returns false for malformed input (a truncated or
// overlong sequence, an encoded surrogate, a value above U+10FFFF).
bool utf8ToUtf16(std::string_view text, std::u16string& out);

// utf16ToUtf8 converts UTF-16; a lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

}  // namespace kestrune::host
