// SecretText: a PIN or pass phrase in code page 950, wiped (OPENSSL_cleanse) when it goes.
// Only the control's own sources include it.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

namespace kestrune::control {

class SecretText;

// secretText converts a PIN or pass phrase as textToCodePage950 does, into a buffer sized
// beforehand so that the conversion leaves no copy in a freed buffer, and returns 0; 502 for
// malformed text or a text that doesn't fit in bufferBytes (terminator included), 2 when memory
// runs out. On failure out is empty.
std::int32_t secretText(std::u16string_view text, SecretText& out,
                        std::size_t bufferBytes = std::numeric_limits<std::size_t>::max());

class SecretText {
 public:
  SecretText() = default;
  ~SecretText() { wipe(); }
  // A moved-from text is wiped at once: a short text lives inside the string object itself,
  // so moving it copies the bytes instead of handing over a buffer.
  SecretText(SecretText&& other) noexcept : text_(std::move(other.text_)) { other.wipe(); }
  SecretText& operator=(SecretText&&) = delete;
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;

  const char* c_str() const noexcept { return text_.c_str(); }
  std::size_t size() const noexcept { return text_.size(); }
  bool empty() const noexcept { return text_.empty(); }

  // wipe clears the whole buffer, the bytes past the text included, and empties the text.
  void wipe() noexcept {
    text_.resize(text_.capacity());  // within the capacity: no new buffer
    OPENSSL_cleanse(text_.data(), text_.size());
    text_.clear();
  }

 private:
  friend std::int32_t secretText(std::u16string_view text, SecretText& out,
                                 std::size_t bufferBytes);
  std::string text_;
};

}  // namespace kestrune::control
