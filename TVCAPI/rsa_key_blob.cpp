// RSA key blobs to PKCS#1 DER and back; every length is checked against the blob's or the
// DER's own bounds.
#include "TVCAPI/rsa_key_blob.h"

#include <cstdlib>
#include <cstring>

#include "TVCAPI/der_lite.h"

namespace {

constexpr std::uint8_t kPrivateBlobType = 0x07;
constexpr std::uint8_t kPublicBlobType = 0x06;
constexpr std::uint8_t kBlobVersion = 2;
constexpr std::uint32_t kRsaKeyExchange = 0xA400;
constexpr std::uint32_t kMagicPublic = 0x31415352;   // "RSA1"
constexpr std::uint32_t kMagicPrivate = 0x32415352;  // "RSA2"

std::uint32_t readWord(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | (std::uint32_t{at[1]} << 8) | (std::uint32_t{at[2]} << 16) |
         (std::uint32_t{at[3]} << 24);
}

void writeWord(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

struct Component {
  const std::uint8_t* le;
  std::size_t length;
};

// The header of a blob of that type and magic: its modulus length in bytes, or 0.
std::size_t modulusOf(const std::uint8_t* blob, std::size_t blobLength, std::uint8_t type,
                      std::uint32_t magic, std::uint8_t exponent[4]) {
  if (blob == nullptr || blobLength < kKeyBlobHeader || blob[0] != type ||
      readWord(blob + 8) != magic) {
    return 0;
  }
  const std::uint32_t bits = readWord(blob + 12);
  const std::size_t n = (std::size_t{bits} + 7) / 8;
  if (bits == 0 || n > kMaxModulusBytes) return 0;
  std::memcpy(exponent, blob + 16, 4);
  return n;
}

// A SEQUENCE of INTEGERs: its size, and its bytes when der can take them.
std::int32_t writeSequence(const Component* parts, std::size_t count, std::uint8_t* der,
                           std::size_t capacity) {
  std::size_t content = 0;
  for (std::size_t i = 0; i < count; ++i) {
    content += tvxCAPIDerIntegerSize(parts[i].le, parts[i].length);
  }
  const std::size_t total = tvxCAPIDerHeaderSize(content) + content;
  if (total > 0x7FFFFFFF) return -1;
  if (der != nullptr && capacity >= total) {
    std::size_t at = tvxCAPIDerWriteHeader(der, kDerSequence, content);
    for (std::size_t i = 0; i < count; ++i) {
      at += tvxCAPIDerWriteInteger(der + at, parts[i].le, parts[i].length);
    }
  }
  return static_cast<std::int32_t>(total);
}

// An unsigned INTEGER's magnitude (big-endian, leading zeros dropped); false when it isn't
// an INTEGER, is empty or is negative.
bool readMagnitude(DerCursor& cursor, const std::uint8_t*& value, std::size_t& length) {
  if (!tvxCAPIDerRead(cursor, kDerInteger, value, length) || length == 0 ||
      (value[0] & 0x80) != 0) {
    return false;
  }
  while (length > 0 && value[0] == 0) {
    ++value;
    --length;
  }
  return true;
}

// Writes a big-endian magnitude little-endian into a field of fieldLength bytes, zeros above.
void putField(std::uint8_t* field, std::size_t fieldLength, const std::uint8_t* value,
              std::size_t length) {
  std::memset(field, 0, fieldLength);
  for (std::size_t i = 0; i < length; ++i) field[i] = value[length - 1 - i];
}

void putHeader(std::uint8_t* blob, std::uint8_t type, std::uint32_t magic, std::size_t n,
               const std::uint8_t* exponent, std::size_t exponentLength) {
  blob[0] = type;
  blob[1] = kBlobVersion;
  blob[2] = 0;
  blob[3] = 0;
  writeWord(blob + 4, kRsaKeyExchange);
  writeWord(blob + 8, magic);
  writeWord(blob + 12, static_cast<std::uint32_t>(n * 8));
  std::uint32_t e = 0;
  for (std::size_t i = 0; i < exponentLength; ++i) e = (e << 8) | exponent[i];
  writeWord(blob + 16, e);
}

// The outer SEQUENCE, alone in the DER.
bool openSequence(const std::uint8_t* der, std::size_t length, DerCursor& inside) {
  if (der == nullptr) return false;
  DerCursor outer{der, length};
  const std::uint8_t* content = nullptr;
  std::size_t contentLength = 0;
  if (!tvxCAPIDerRead(outer, kDerSequence, content, contentLength) || outer.left != 0) return false;
  inside = DerCursor{content, contentLength};
  return true;
}

}  // namespace

std::int32_t tvxCAPIPrivateBlobToDer(const std::uint8_t* blob, std::size_t blobLength,
                                     std::uint8_t* der, std::size_t capacity) {
  std::uint8_t exponent[4];
  const std::size_t n = modulusOf(blob, blobLength, kPrivateBlobType, kMagicPrivate, exponent);
  // The halves are b/16 bytes long: only bit lengths that are multiples of 16 lay out whole.
  if (n == 0 || (readWord(blob + 12) & 15) != 0) return -1;
  const std::size_t half = n / 2;
  if (blobLength < kKeyBlobHeader + 9 * half) return -1;
  const std::uint8_t* at = blob + kKeyBlobHeader;
  const Component modulus{at, n};
  const Component prime1{at + n, half};
  const Component prime2{at + n + half, half};
  const Component exponent1{at + n + 2 * half, half};
  const Component exponent2{at + n + 3 * half, half};
  const Component coefficient{at + n + 4 * half, half};
  const Component privateExponent{at + n + 5 * half, n};
  static const std::uint8_t kZero = 0;
  const Component parts[] = {{&kZero, 1}, modulus,   {exponent, 4}, privateExponent, prime1,
                             prime2,      exponent1, exponent2,     coefficient};
  return writeSequence(parts, sizeof parts / sizeof parts[0], der, capacity);
}

std::int32_t tvxCAPIPublicBlobToDer(const std::uint8_t* blob, std::size_t blobLength,
                                    std::uint8_t* der, std::size_t capacity) {
  std::uint8_t exponent[4];
  const std::size_t n = modulusOf(blob, blobLength, kPublicBlobType, kMagicPublic, exponent);
  if (n == 0 || blobLength < kKeyBlobHeader + n) return -1;
  const Component parts[] = {{blob + kKeyBlobHeader, n}, {exponent, 4}};
  return writeSequence(parts, 2, der, capacity);
}

bool tvxCAPIDerToPrivateBlob(const std::uint8_t* der, std::size_t length, std::uint8_t** blob,
                             std::size_t* blobLength) {
  DerCursor inside{};
  if (blob == nullptr || blobLength == nullptr || !openSequence(der, length, inside)) return false;
  const std::uint8_t* value[9];
  std::size_t size[9];
  for (int i = 0; i < 9; ++i) {
    if (!readMagnitude(inside, value[i], size[i])) return false;
  }
  if (inside.left != 0) return false;
  // value: version, modulus, publicExponent, privateExponent, prime1, prime2, exponent1,
  // exponent2, coefficient.
  const std::size_t n = size[1];
  const std::size_t half = n / 2;
  if (n == 0 || n % 2 != 0 || n > kMaxModulusBytes || size[2] > 4 || size[3] > n) return false;
  for (int i = 4; i < 9; ++i) {
    if (size[i] > half) return false;
  }
  const std::size_t total = kKeyBlobHeader + 9 * half;
  auto* out = static_cast<std::uint8_t*>(std::malloc(total));
  if (out == nullptr) return false;
  putHeader(out, kPrivateBlobType, kMagicPrivate, n, value[2], size[2]);
  std::uint8_t* at = out + kKeyBlobHeader;
  putField(at, n, value[1], size[1]);
  at += n;
  for (int i = 4; i < 9; ++i) {
    putField(at, half, value[i], size[i]);
    at += half;
  }
  putField(at, n, value[3], size[3]);
  *blob = out;
  *blobLength = total;
  return true;
}

bool tvxCAPIDerToPublicBlob(const std::uint8_t* der, std::size_t length, std::uint8_t** blob,
                            std::size_t* blobLength) {
  DerCursor inside{};
  if (blob == nullptr || blobLength == nullptr || !openSequence(der, length, inside)) return false;
  const std::uint8_t* modulus = nullptr;
  const std::uint8_t* exponent = nullptr;
  std::size_t n = 0;
  std::size_t exponentLength = 0;
  if (!readMagnitude(inside, modulus, n) || !readMagnitude(inside, exponent, exponentLength) ||
      inside.left != 0 || n == 0 || n > kMaxModulusBytes || exponentLength > 4) {
    return false;
  }
  const std::size_t total = kKeyBlobHeader + n;
  auto* out = static_cast<std::uint8_t*>(std::malloc(total));
  if (out == nullptr) return false;
  putHeader(out, kPublicBlobType, kMagicPublic, n, exponent, exponentLength);
  putField(out + kKeyBlobHeader, n, modulus, n);
  *blob = out;
  *blobLength = total;
  return true;
}
