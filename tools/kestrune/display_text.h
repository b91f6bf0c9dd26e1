// Text from certificates and files is shown on one line: control characters (a line feed in a
// subject, a tab that would split a column) come out as \xNN.
#pragma once

#include <string>
#include <string_view>

namespace kestrune::host {

inline std::string oneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out.push_back(c);
      continue;
    }
    out += "\\x";
    out.push_back("0123456789ABCDEF"[byte >> 4]);
    out.push_back("0123456789ABCDEF"[byte & 15]);
  }
  return out;
}

}  // namespace kestrune::host
