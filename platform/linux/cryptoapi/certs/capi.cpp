#include "platform/linux/cryptoapi/certs/capi.h"

namespace kestrune::cryptoapi {

std::recursive_mutex& stateLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::string utf8Of(std::wstring_view wide) {
  if (wide.empty() || wide.size() > 0x3FFFFFFF) return {};
  const int length = static_cast<int>(wide.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string text(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), needed, nullptr, nullptr);
  return text;
}

bool wideOfUtf8(std::string_view text, std::wstring& wide) {
  wide.clear();
  if (text.empty()) return true;
  if (text.size() > 0x3FFFFFFF) return false;
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  wide.resize(static_cast<std::size_t>(needed));
  return MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed) == needed;
}

}  // namespace kestrune::cryptoapi
