// Text from files and pages quoted in reasons the user reads on a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune::agent {

// printable cuts text short at limit ("..." marks the cut) and turns every byte outside
// printable ASCII into '?', so hostile text can't write control sequences into a reason.
inline std::string printable(std::string_view text, std::size_t limit) {
  std::string shown;
  for (const char c : text.substr(0, limit)) shown.push_back(c >= 0x20 && c < 0x7F ? c : '?');
  if (text.size() > limit) shown += "...";
  return shown;
}

}  // namespace kestrune::agent
