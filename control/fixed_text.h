// FixedText: a zero-terminated text field of a fixed number of bytes, as the control keeps its
// library name and key labels. Assigning never overruns the field: a text that doesn't fit
// is refused and the field keeps its old contents.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace kestrune {

template <std::size_t Bytes>
class FixedText {
 public:
  static constexpr std::size_t kMaxLength = Bytes - 1;

  // assign returns false, and leaves the field as it was, when text is longer than
  // kMaxLength bytes.
  bool assign(std::string_view text) noexcept {
    if (text.size() > kMaxLength) return false;
    text.copy(bytes_.data(), text.size());
    bytes_[text.size()] = '\0';
    return true;
  }
  void clear() noexcept { bytes_[0] = '\0'; }

  std::string_view view() const noexcept { return std::string_view(bytes_.data()); }
  const char* c_str() const noexcept { return bytes_.data(); }
  bool empty() const noexcept { return bytes_[0] == '\0'; }

 private:
  std::array<char, Bytes> bytes_{};
};

}  // namespace kestrune
