// The bounded DER reader and the writers of the RSA key conversions.
#include "TVCAPI/der_lite.h"

namespace {

constexpr std::size_t kMaxLengthBytes = 4;

// The value's significant length (at least one byte, for zero) and whether a 0x00 must lead.
void integerShape(const std::uint8_t* le, std::size_t length, std::size_t& significant, bool& pad) {
  significant = length;
  while (significant > 1 && le[significant - 1] == 0) --significant;
  if (significant == 0) {
    pad = true;  // no bytes at all: the value zero, written as one 0x00
    return;
  }
  pad = (le[significant - 1] & 0x80) != 0;
}

}  // namespace

bool tvxCAPIDerRead(DerCursor& cursor, std::uint8_t tag, const std::uint8_t*& content,
                    std::size_t& length) {
  if (cursor.left < 2 || cursor.at[0] != tag) return false;
  std::size_t at = 1;
  std::size_t size = cursor.at[at++];
  if ((size & 0x80) != 0) {
    const std::size_t lengthBytes = size & 0x7F;
    if (lengthBytes == 0 || lengthBytes > kMaxLengthBytes || cursor.left - at < lengthBytes) {
      return false;
    }
    size = 0;
    for (std::size_t i = 0; i < lengthBytes; ++i) size = (size << 8) | cursor.at[at++];
  }
  if (size > cursor.left - at) return false;
  content = cursor.at + at;
  length = size;
  cursor.at += at + size;
  cursor.left -= at + size;
  return true;
}

std::size_t tvxCAPIDerHeaderSize(std::size_t contentLength) {
  std::size_t size = 2;
  if (contentLength >= 0x80) {
    for (std::size_t n = contentLength; n != 0; n >>= 8) ++size;
  }
  return size;
}

std::size_t tvxCAPIDerWriteHeader(std::uint8_t* out, std::uint8_t tag, std::size_t contentLength) {
  const std::size_t size = tvxCAPIDerHeaderSize(contentLength);
  out[0] = tag;
  if (size == 2) {
    out[1] = static_cast<std::uint8_t>(contentLength);
    return size;
  }
  const std::size_t lengthBytes = size - 2;
  out[1] = static_cast<std::uint8_t>(0x80 | lengthBytes);
  for (std::size_t i = 0; i < lengthBytes; ++i) {
    out[2 + i] = static_cast<std::uint8_t>(contentLength >> (8 * (lengthBytes - 1 - i)));
  }
  return size;
}

std::size_t tvxCAPIDerIntegerSize(const std::uint8_t* le, std::size_t length) {
  std::size_t significant = 0;
  bool pad = false;
  integerShape(le, length, significant, pad);
  const std::size_t content = significant + (pad ? 1 : 0);
  return tvxCAPIDerHeaderSize(content) + content;
}

std::size_t tvxCAPIDerWriteInteger(std::uint8_t* out, const std::uint8_t* le, std::size_t length) {
  std::size_t significant = 0;
  bool pad = false;
  integerShape(le, length, significant, pad);
  const std::size_t content = significant + (pad ? 1 : 0);
  std::size_t at = tvxCAPIDerWriteHeader(out, kDerInteger, content);
  if (pad) out[at++] = 0;
  for (std::size_t i = significant; i-- > 0;) out[at++] = le[i];
  return at;
}
