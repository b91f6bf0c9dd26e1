// Lays out a decoded structure and everything it points to in one caller buffer, as
// CryptDecodeObject and CertGetCertificateContextProperty return them. A first pass without
// a buffer only counts; the second, over a buffer of that size, writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "platform/linux/cryptoapi/certs/capi.h"

namespace kestrune::cryptoapi {

class Layout {
 public:
  explicit Layout(std::uint8_t* base) : base_(base) {}
  bool writing() const { return base_ != nullptr; }
  std::size_t size() const { return used_; }

  // take reserves n bytes aligned for T; nullptr in the counting pass.
  template <class T>
  T* take(std::size_t count = 1) {
    used_ = (used_ + alignof(T) - 1) / alignof(T) * alignof(T);
    T* at = base_ != nullptr ? reinterpret_cast<T*>(base_ + used_) : nullptr;
    used_ += sizeof(T) * count;
    return at;
  }
  // bytes copies data and returns where it went (nullptr when counting or empty).
  BYTE* bytes(std::span<const std::uint8_t> data) {
    if (data.empty()) return nullptr;
    BYTE* at = take<BYTE>(data.size());
    if (at != nullptr) std::memcpy(at, data.data(), data.size());
    return at;
  }
  // text copies a zero-terminated string.
  char* text(std::string_view s) {
    char* at = take<char>(s.size() + 1);
    if (at != nullptr) {
      // An empty view may carry no pointer at all; memcpy's arguments must never be null.
      if (!s.empty()) std::memcpy(at, s.data(), s.size());
      at[s.size()] = '\0';
    }
    return at;
  }
  wchar_t* wide(std::wstring_view s) {
    wchar_t* at = take<wchar_t>(s.size() + 1);
    if (at != nullptr) {
      if (!s.empty()) std::memcpy(at, s.data(), s.size() * sizeof(wchar_t));
      at[s.size()] = L'\0';
    }
    return at;
  }

 private:
  std::uint8_t* base_;
  std::size_t used_ = 0;
};

// deliverLayout runs fill (a function of Layout&) once to count and, when the caller gave a
// large enough buffer, again to write; the size-first contract of copyOut.
template <class Fill>
BOOL deliverLayout(Fill fill, void* out, DWORD* length) {
  if (length == nullptr) return fail(ERROR_INVALID_PARAMETER);
  Layout counting(nullptr);
  fill(counting);
  if (counting.size() > 0xFFFFFFFFu) return fail(ERROR_NOT_ENOUGH_MEMORY);
  const auto needed = static_cast<DWORD>(counting.size());
  if (out == nullptr) {
    *length = needed;
    return TRUE;
  }
  if (*length < needed) {
    *length = needed;
    return fail(ERROR_MORE_DATA);
  }
  std::memset(out, 0, needed);
  Layout writing(static_cast<std::uint8_t*>(out));
  fill(writing);
  *length = needed;
  return TRUE;
}

}  // namespace kestrune::cryptoapi
