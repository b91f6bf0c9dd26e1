// Serial-number lists of "SN" lines: hexadecimal items separated by ";".
#include <array>
#include <cstring>

#include "TVCAPI/name_spec.h"

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool isWhite(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isWhite(text.front())) text.remove_prefix(1);
  while (!text.empty() && isWhite(text.back())) text.remove_suffix(1);
  return text;
}

// The item (most significant byte first) against the certificate's serial (least significant
// byte first).
bool sameSerial(const BYTE* item, std::size_t itemLength, const CRYPT_INTEGER_BLOB& serial) {
  std::size_t length = serial.cbData;
  if (length == itemLength + 1 && serial.pbData[length - 1] == 0x00) length = itemLength;
  if (length != itemLength) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (item[i] != serial.pbData[length - 1 - i]) return false;
  }
  return true;
}

}  // namespace

bool tvxCAPIHexToBytes(std::string_view hex, BYTE* out, std::size_t capacity, std::size_t& count) {
  count = 0;
  if (hex.empty() || (hex.size() + 1) / 2 > capacity) return false;
  std::size_t i = 0;
  if (hex.size() % 2 == 1) {
    const int digit = hexDigit(hex[0]);
    if (digit < 0) return false;
    out[count++] = static_cast<BYTE>(digit);
    i = 1;
  }
  for (; i < hex.size(); i += 2) {
    const int high = hexDigit(hex[i]);
    const int low = hexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out[count++] = static_cast<BYTE>(high * 16 + low);
  }
  return true;
}

bool tvxCAPIMatchSerialList(const CRYPT_INTEGER_BLOB& serial, std::string_view list) {
  if (serial.pbData == nullptr && serial.cbData != 0) return false;
  std::array<BYTE, kSerialItemLimit> bytes{};
  while (true) {
    const std::size_t end = list.find(';');
    const std::string_view item = trimmed(list.substr(0, end));
    std::size_t count = 0;
    if (tvxCAPIHexToBytes(item, bytes.data(), bytes.size(), count) &&
        sameSerial(bytes.data(), count, serial)) {
      return true;
    }
    if (end == std::string_view::npos) return false;
    list.remove_prefix(end + 1);
  }
}
