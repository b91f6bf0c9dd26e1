#include "fedi_der.h"

#include <cstdio>
#include <stdexcept>

namespace kestrune::fedi::test {

Bytes tlv(std::uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    Bytes length;
    for (std::size_t v = n; v != 0; v >>= 8) length.insert(length.begin(), v & 0xFF);
    out.push_back(static_cast<std::uint8_t>(0x80 | length.size()));
    out.insert(out.end(), length.begin(), length.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes text(std::string_view value) {
  return Bytes(value.begin(), value.end());
}

Bytes seq(std::initializer_list<Bytes> fields) {
  return tlv(0x30, concat(fields));
}

Bytes integer(long value) {
  Bytes content;
  long v = value;
  do {
    content.insert(content.begin(), static_cast<std::uint8_t>(v & 0xFF));
    v >>= 8;
  } while (!((v == 0 && (content.front() & 0x80) == 0) || (v == -1 && (content.front() & 0x80))));
  return tlv(0x02, content);
}

Bytes utcTime(std::string_view value) {
  return tlv(0x17, text(value));
}

Bytes hex(std::string_view digits) {
  Bytes out;
  int high = -1;
  for (char c : digits) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd hex");
  return out;
}

std::string toHex(const Bytes& bytes) {
  std::string out;
  char buf[3];
  for (auto b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out;
}

}  // namespace kestrune::fedi::test
