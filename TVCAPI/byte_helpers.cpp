// Byte and text helpers: a wipe the compiler keeps, byte-order reversal, and conversions
// between UTF-16 and the ANSI code page into memory the caller frees.
#include <cstdlib>

#include "TVCAPI/core_internal.h"

void tvxCAPISecureZero(void* memory, std::size_t length) {
  volatile auto* bytes = static_cast<volatile std::uint8_t*>(memory);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = 0;
}

void tvxCAPIReverse(std::uint8_t* bytes, std::size_t length) {
  if (bytes == nullptr || length < 2) return;
  for (std::size_t i = 0, j = length - 1; i < j; ++i, --j) {
    const std::uint8_t b = bytes[i];
    bytes[i] = bytes[j];
    bytes[j] = b;
  }
}

char* tvxCAPINarrowText(const WCHAR* wide) {
  if (wide == nullptr) return nullptr;
  const int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return nullptr;
  auto* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
  if (text == nullptr) return nullptr;
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, text, size, nullptr, nullptr) != size) {
    std::free(text);
    return nullptr;
  }
  text[size - 1] = '\0';
  return text;
}

WCHAR* tvxCAPIWideText(const char* text) {
  if (text == nullptr) return nullptr;
  const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (size <= 0) return nullptr;
  auto* wide = static_cast<WCHAR*>(std::malloc(static_cast<std::size_t>(size) * sizeof(WCHAR)));
  if (wide == nullptr) return nullptr;
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, size) != size) {
    std::free(wide);
    return nullptr;
  }
  wide[size - 1] = L'\0';
  return wide;
}
