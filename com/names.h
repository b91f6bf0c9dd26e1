// Method names compare as GetIDsOfNames compares them: ignoring case. The interface's names
// are ASCII, so ASCII folding is exact for them.
#pragma once

#include <string_view>

namespace kestrune::com {

constexpr char foldAsciiCase(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (foldAsciiCase(a[i]) != foldAsciiCase(b[i])) return false;
  }
  return true;
}

}  // namespace kestrune::com
