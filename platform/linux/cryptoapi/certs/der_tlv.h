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

// Whether a reader takes BER's indefinite lengths: a constructed element whose content runs to
// an end-of-contents marker (00 00).
enum class Lengths { definite, indefiniteToo };

// Cursor over a run of elements; every read is bounded by what is left.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes, Lengths lengths = Lengths::definite)
      : rest_(bytes), lengths_(lengths) {}
  bool empty() const { return rest_.empty(); }
  std::span<const std::uint8_t> rest() const { return rest_; }
  // next reads one element (minimal length octets not required); nullopt on a high tag
  // number, an overlong length, a length past the end, or an indefinite length unless the
  // reader takes them (then the content stops before the end-of-contents marker, and the
  // whole element includes it).
  std::optional<Tlv> next();
  // next with an expected tag: nullopt as above or when the tag differs (nothing consumed).
  std::optional<Tlv> next(std::uint8_t tag);
  std::optional<std::uint8_t> peekTag() const;

 private:
  // indefiniteEnd returns the size of the indefinite-length element at the start of rest_,
  // its end-of-contents marker included; 0 when the marker is missing or an element inside
  // is malformed.
  std::size_t indefiniteEnd() const;

  std::span<const std::uint8_t> rest_;
  Lengths lengths_;
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
