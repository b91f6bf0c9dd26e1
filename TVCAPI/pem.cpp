// PEM armour around the library's Base64: TVXCAPI_Encode writes it, TVXCAPI_Decode takes it off
// for any label of a ";"-separated list, or reads bare Base64.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TVCAPI/core_internal.h"

namespace {

constexpr std::size_t kMaxLabel = 110;
constexpr std::uint64_t kArmourChars = 32;  // "-----BEGIN -----\n" and "-----END -----\n"

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool startsWith(const char* text, std::size_t length, const char* prefix,
                std::size_t prefixLength) {
  return length >= prefixLength && std::memcmp(text, prefix, prefixLength) == 0;
}

// The Base64 text between the armour lines of the first label of the list that the text
// starts with. 0 with found set (or left clear when no label matches); 5045 for a label over
// 110 characters or broken armour.
std::int32_t findArmour(const char* text, std::size_t length, const char* labels, bool& found,
                        const char*& body, std::size_t& bodyLength) {
  found = false;
  const char* label = labels;
  while (true) {
    const char* end = std::strchr(label, ';');
    const std::size_t labelLength =
        end != nullptr ? static_cast<std::size_t>(end - label) : std::strlen(label);
    if (labelLength > kMaxLabel) return TVCAPI_BAD_SPECIFICATION;
    char begin[kMaxLabel + 20];
    char finish[kMaxLabel + 20];
    const int beginLength = std::snprintf(begin, sizeof begin, "-----BEGIN %.*s-----",
                                          static_cast<int>(labelLength), label);
    const int finishLength = std::snprintf(finish, sizeof finish, "-----END %.*s-----",
                                           static_cast<int>(labelLength), label);
    const auto lines =
        static_cast<std::size_t>(beginLength) + static_cast<std::size_t>(finishLength);
    if (length > lines && startsWith(text, length, begin, static_cast<std::size_t>(beginLength))) {
      found = true;
      std::size_t at = static_cast<std::size_t>(beginLength);
      while (at < length && isSpace(text[at])) ++at;
      if (at == length) return TVCAPI_BAD_SPECIFICATION;
      const auto* dash = static_cast<const char*>(std::memchr(text + at, '-', length - at));
      if (dash == nullptr) return TVCAPI_BAD_SPECIFICATION;
      const auto dashAt = static_cast<std::size_t>(dash - text);
      if (!startsWith(dash, length - dashAt, finish, static_cast<std::size_t>(finishLength))) {
        return TVCAPI_BAD_SPECIFICATION;
      }
      body = text + at;
      bodyLength = dashAt - at;
      return TVCAPI_OK;
    }
    if (end == nullptr) return TVCAPI_OK;
    label = end + 1;
  }
}

}  // namespace

extern "C" int32_t TVXCAPI_Encode(const uint8_t* data, uint32_t length, TVCAPI_BLOB* blob,
                                  const char* label) {
  if (blob == nullptr || (data == nullptr && length != 0)) return TVCAPI_BAD_ARGUMENT;
  if (label == nullptr || *label == '\0') {
    char* text = reinterpret_cast<char*>(blob->data);
    std::uint32_t count = blob->count;
    const std::int32_t rc = tvbase64_encode(data, length, &text, &count);
    if (rc == TVCAPI_OK) blob->data = reinterpret_cast<std::uint8_t*>(text);
    if (rc == TVCAPI_OK || rc == TVCAPI_BUFFER_TOO_SMALL) blob->count = count;
    return rc;
  }
  const std::size_t labelLength = std::strlen(label);
  const std::uint64_t base64Length = tvxCAPIBase64Length(length);
  const std::uint64_t total = base64Length + 2 * std::uint64_t{labelLength} + kArmourChars;
  if (total >= UINT32_MAX) return TVCAPI_BAD_ARGUMENT;
  char* out = reinterpret_cast<char*>(blob->data);
  const bool own = out == nullptr;
  if (own) {
    out = static_cast<char*>(std::malloc(static_cast<std::size_t>(total) + 1));
    if (out == nullptr) return tvxCAPIOutOfMemory(kModuleCoder, __LINE__, "TVXCAPI_Encode");
  } else if (blob->count < total) {
    blob->count = static_cast<std::uint32_t>(total);
    return TVCAPI_BUFFER_TOO_SMALL;
  }
  std::size_t at = 0;
  auto put = [&](const char* text, std::size_t n) {
    std::memcpy(out + at, text, n);
    at += n;
  };
  put("-----BEGIN ", 11);
  put(label, labelLength);
  put("-----\n", 6);
  char* base64 = out + at;
  std::uint32_t base64Count = static_cast<std::uint32_t>(base64Length);
  const std::int32_t rc = tvbase64_encode(data, length, &base64, &base64Count);
  if (rc != TVCAPI_OK) {
    if (own) std::free(out);
    return rc;
  }
  at += base64Count;
  put("-----END ", 9);
  put(label, labelLength);
  put("-----\n", 6);
  if (own) {
    out[at] = '\0';
    blob->data = reinterpret_cast<std::uint8_t*>(out);
  }
  blob->count = static_cast<std::uint32_t>(at);
  return TVCAPI_OK;
}

extern "C" int32_t TVXCAPI_Decode(const char* text, uint32_t length, TVCAPI_BLOB* blob,
                                  const char* labels) {
  if (blob == nullptr || (text == nullptr && length != 0)) return TVCAPI_BAD_ARGUMENT;
  std::size_t at = 0;
  while (at < length && isSpace(text[at])) ++at;
  const char* body = text + at;
  std::size_t bodyLength = length - at;
  if (labels != nullptr && *labels != '\0' && at < length && text[at] == '-') {
    bool found = false;
    const char* armoured = nullptr;
    std::size_t armouredLength = 0;
    const std::int32_t rc =
        findArmour(text + at, length - at, labels, found, armoured, armouredLength);
    if (rc != TVCAPI_OK) return rc;
    if (found) {
      body = armoured;
      bodyLength = armouredLength;
    }
  }
  while (bodyLength > 0 && isSpace(body[bodyLength - 1])) --bodyLength;
  std::uint32_t count = blob->count;
  std::uint8_t* bytes = blob->data;
  const std::int32_t rc =
      tvbase64_decode(body, static_cast<std::uint32_t>(bodyLength), &bytes, &count);
  if (rc == TVCAPI_OK) blob->data = bytes;
  if (rc == TVCAPI_OK || rc == TVCAPI_BUFFER_TOO_SMALL) blob->count = count;
  return rc;
}
