// The control's Base64 text coding: the RFC 4648 alphabet, encoded text broken into lines of
// 64 characters, and a lenient decoder for text that went through line breaks or form
// decoding. Plain functions without state; safe to call from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::token {

// text_Base64Encode returns true and sets text to the Base64 form of bytes: a line feed after
// every 64 characters and one more at the end (an empty input gives a single line feed). It
// returns false, with text emptied, when memory is exhausted. The caller owns text.
bool text_Base64Encode(std::span<const std::uint8_t> bytes, std::string& text);

// text_Base64Decode returns true and sets bytes to the decoded value of text. Reading stops
// at the end of text, at a zero byte or at the first '='; line feeds and carriage returns are
// skipped and a blank is read as '+'. It returns false, with bytes emptied, when text holds
// any other character outside the alphabet, when '=' follows a group of fewer than two
// characters, or when memory is exhausted. The caller owns bytes.
bool text_Base64Decode(std::string_view text, std::vector<std::uint8_t>& bytes);

}  // namespace kestrune::token
