// The library's own Base64: lines of 64 characters ended by LF, and a decoder that skips CR and
// LF, reads a space as "+" and stops at a zero byte or the first "=".
#include <cstdlib>

#include "TVCAPI/core_internal.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint32_t kLineChars = 64;
constexpr std::uint8_t kInvalid = 0xFF;

struct DecodingTable {
  std::uint8_t value[256];
  constexpr DecodingTable() : value() {
    for (auto& v : value) v = kInvalid;
    for (std::uint8_t i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = i;
  }
};
constexpr DecodingTable kTable;

std::int32_t noMemory(const char* operation) {
  return tvxCAPIOutOfMemory(kModuleCoder, __LINE__, operation);
}

}  // namespace

std::uint64_t tvxCAPIBase64Length(std::uint64_t n) {
  const std::uint64_t chars = 4 * ((n + 2) / 3);
  return chars + (chars + kLineChars - 1) / kLineChars;
}

extern "C" int32_t tvbase64_encode(const uint8_t* data, uint32_t length, char** text,
                                   uint32_t* count) {
  if (text == nullptr || count == nullptr || (data == nullptr && length != 0)) {
    return TVCAPI_BAD_ARGUMENT;
  }
  const std::uint64_t needed = tvxCAPIBase64Length(length);
  if (needed >= UINT32_MAX) return TVCAPI_BAD_ARGUMENT;  // no 32-bit count could describe it
  char* out = *text;
  const bool own = out == nullptr;
  if (own) {
    out = static_cast<char*>(std::malloc(static_cast<std::size_t>(needed) + 1));
    if (out == nullptr) return noMemory("tvbase64_encode");
  } else if (*count < needed) {
    *count = static_cast<std::uint32_t>(needed);
    return TVCAPI_BUFFER_TOO_SMALL;
  }
  std::size_t at = 0;
  std::uint32_t lineChars = 0;
  for (std::uint32_t i = 0; i < length; i += 3) {
    if (lineChars == kLineChars) {
      out[at++] = '\n';
      lineChars = 0;
    }
    const std::uint32_t left = length - i;
    const std::uint32_t group = (std::uint32_t{data[i]} << 16) |
                                (left > 1 ? std::uint32_t{data[i + 1]} << 8 : 0) |
                                (left > 2 ? std::uint32_t{data[i + 2]} : 0);
    out[at++] = kAlphabet[(group >> 18) & 0x3F];
    out[at++] = kAlphabet[(group >> 12) & 0x3F];
    out[at++] = left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out[at++] = left > 2 ? kAlphabet[group & 0x3F] : '=';
    lineChars += 4;
  }
  if (length != 0) out[at++] = '\n';
  if (own) {
    out[at] = '\0';
    *text = out;
  }
  *count = static_cast<std::uint32_t>(at);
  return TVCAPI_OK;
}

extern "C" int32_t tvbase64_decode(const char* text, uint32_t length, uint8_t** bytes,
                                   uint32_t* count) {
  if (bytes == nullptr || count == nullptr || (text == nullptr && length != 0)) {
    return TVCAPI_BAD_ARGUMENT;
  }
  std::uint32_t padding = 0;
  while (padding < length && text[length - 1 - padding] == '=') ++padding;
  std::uint32_t lineBreaks = 0;
  for (std::uint32_t i = 0; i < length; ++i) {
    if (text[i] == '\n' || text[i] == '\r') ++lineBreaks;
  }
  const std::uint32_t significant = length - lineBreaks;
  // Valid text never ends in more than two pad characters; more would make the output length
  // below cover what the characters before them decode to.
  if (significant % 4 != 0 || padding > 2) return TVCAPI_BAD_BASE64;
  const std::uint32_t groups = significant / 4;
  if (groups == 0 && padding != 0) return TVCAPI_BAD_BASE64;
  const std::uint32_t needed = groups * 3 - padding;

  std::uint8_t* out = *bytes;
  const bool own = out == nullptr;
  std::uint32_t capacity = needed;
  if (own) {
    out = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(needed) + 1));
    if (out == nullptr) return noMemory("tvbase64_decode");
  } else if (*count < needed) {
    *count = needed;
    return TVCAPI_BUFFER_TOO_SMALL;
  } else {
    capacity = *count;
  }
  auto refuse = [&]() {
    if (own) std::free(out);
    return TVCAPI_BAD_BASE64;
  };

  std::uint32_t produced = 0;
  std::uint32_t pending = 0;  // characters of the current group
  std::uint32_t group = 0;
  bool endedAtPad = false;
  for (std::uint32_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == '\0') break;
    if (c == '=') {
      endedAtPad = true;
      break;
    }
    if (c == '\r' || c == '\n') continue;
    if (c == ' ') c = '+';
    const std::uint8_t v = kTable.value[static_cast<unsigned char>(c)];
    if (v == kInvalid) return refuse();
    group = (group << 6) | v;
    if (++pending == 4) {
      if (produced + 3 > needed) return refuse();
      out[produced++] = static_cast<std::uint8_t>(group >> 16);
      out[produced++] = static_cast<std::uint8_t>(group >> 8);
      out[produced++] = static_cast<std::uint8_t>(group);
      pending = 0;
      group = 0;
    }
  }
  if (endedAtPad) {
    if (pending < 2) return refuse();
    const std::uint32_t tail = pending - 1;  // two characters give one byte, three give two
    if (produced + tail > needed) return refuse();
    group <<= 6 * (4 - pending);
    out[produced++] = static_cast<std::uint8_t>(group >> 16);
    if (tail == 2) out[produced++] = static_cast<std::uint8_t>(group >> 8);
  } else if (pending != 0) {
    return refuse();
  }
  if (own) {
    out[produced] = 0;
    *bytes = out;
  } else if (produced < capacity) {
    out[produced] = 0;
  }
  *count = produced;
  return TVCAPI_OK;
}
