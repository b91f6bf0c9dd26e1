// A bounded reader and a writer of DER's tag-length-value elements, for the structures that
// CryptoAPI lays out field by field (names, signer information, public-key information).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <span>
#include <vector>

namespace kestrune::cryptoapi::der {

// One element: its tag byte (single-byte tags only, which is all these structures use), its
// content and its whole encoding.
struct Tlv {
  std::uint8_t tag = 0;
  std::span<const std::uint8_t> content;
  std::span<const std::uint8_t> whole;
};

// Cursor over a run of elements; every read is bounded by what is left.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : rest_(bytes) {}
  bool empty() const { return rest_.empty(); }
  std::span<const std::uint8_t> rest() const { return rest_; }
  // next reads one element (definite length, minimal length octets not required); nullopt
  // on a high tag number, an indefinite or overlong length, or a length past the end.
  std::optional<Tlv> next();
  // next with an expected tag: nullopt as above or when the tag differs (nothing consumed).
  std::optional<Tlv> next(std::uint8_t tag);
  std::optional<std::uint8_t> peekTag() const;

 private:
  std::span<const std::uint8_t> rest_;
};

// append writes tag, length and content.
void append(std::vector<std::uint8_t>& out, std::uint8_t tag,
            std::span<const std::uint8_t> content);
std::vector<std::uint8_t> element(std::uint8_t tag, std::span<const std::uint8_t> content);

// OID text ("1.2.3") from an OBJECT IDENTIFIER's content, and back to a whole element;
// empty text / empty bytes when malformed.
std::string oidText(std::span<const std::uint8_t> content);
std::vector<std::uint8_t> oidElement(const char* text);

// CryptoAPI keeps INTEGERs least significant byte first; these convert a DER INTEGER's
// content to that order and back (the encoding drops redundant sign bytes).
std::vector<std::uint8_t> littleEndianOf(std::span<const std::uint8_t> content);
std::vector<std::uint8_t> integerElement(std::span<const std::uint8_t> littleEndian);

inline constexpr std::uint8_t kInteger = 0x02;
inline constexpr std::uint8_t kBitString = 0x03;
inline constexpr std::uint8_t kOctetString = 0x04;
inline constexpr std::uint8_t kNull = 0x05;
inline constexpr std::uint8_t kOid = 0x06;
inline constexpr std::uint8_t kSequence = 0x30;
inline constexpr std::uint8_t kSet = 0x31;

}  // namespace kestrune::cryptoapi::der
