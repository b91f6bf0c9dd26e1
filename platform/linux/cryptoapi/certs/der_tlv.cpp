#include <openssl/asn1.h>
#include <openssl/objects.h>

#include "common/ptr.h"
#include "platform/linux/cryptoapi/certs/der_tlv.h"

namespace kestrune::cryptoapi::der {

namespace {

constexpr std::uint8_t kConstructed = 0x20;
constexpr std::uint8_t kIndefinite = 0x80;

}  // namespace

std::size_t Reader::indefiniteEnd() const {
  // Nested elements are walked without recursion: depth counts the open indefinite ones.
  std::size_t at = 2;
  std::size_t depth = 1;
  while (depth > 0) {
    if (rest_.size() - at < 2) return 0;
    if (rest_[at] == 0) {
      if (rest_[at + 1] != 0) return 0;
      at += 2;
      --depth;
      continue;
    }
    if ((rest_[at] & kConstructed) != 0 && rest_[at + 1] == kIndefinite) {
      at += 2;
      ++depth;
      continue;
    }
    Reader inner(rest_.subspan(at));
    const auto element = inner.next();
    if (!element) return 0;
    at += element->whole.size();
  }
  return at;
}

std::optional<Tlv> Reader::next() {
  if (rest_.size() < 2) return std::nullopt;
  const std::uint8_t tag = rest_[0];
  if ((tag & 0x1F) == 0x1F) return std::nullopt;
  if (rest_[1] == kIndefinite && lengths_ == Lengths::indefiniteToo && (tag & kConstructed) != 0) {
    const std::size_t size = indefiniteEnd();
    if (size == 0) return std::nullopt;
    Tlv tlv{tag, rest_.subspan(2, size - 4), rest_.first(size)};
    rest_ = rest_.subspan(size);
    return tlv;
  }
  std::size_t length = rest_[1];
  std::size_t header = 2;
  if (length & 0x80) {
    const std::size_t octets = length & 0x7F;
    if (octets == 0 || octets > 4 || rest_.size() < 2 + octets) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | rest_[2 + i];
    header += octets;
  }
  if (length > rest_.size() - header) return std::nullopt;
  Tlv tlv{tag, rest_.subspan(header, length), rest_.first(header + length)};
  rest_ = rest_.subspan(header + length);
  return tlv;
}

std::optional<Tlv> Reader::next(std::uint8_t tag) {
  if (peekTag() != tag) return std::nullopt;
  return next();
}

std::optional<std::uint8_t> Reader::peekTag() const {
  if (rest_.empty()) return std::nullopt;
  return rest_[0];
}

void append(std::vector<std::uint8_t>& out, std::uint8_t tag,
            std::span<const std::uint8_t> content) {
  out.push_back(tag);
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    std::uint8_t octets[4];
    int count = 0;
    for (std::size_t v = n; v != 0; v >>= 8) octets[count++] = static_cast<std::uint8_t>(v);
    out.push_back(static_cast<std::uint8_t>(0x80 | count));
    while (count > 0) out.push_back(octets[--count]);
  }
  out.insert(out.end(), content.begin(), content.end());
}

std::vector<std::uint8_t> element(std::uint8_t tag, std::span<const std::uint8_t> content) {
  std::vector<std::uint8_t> out;
  append(out, tag, content);
  return out;
}

std::string oidText(std::span<const std::uint8_t> content) {
  if (content.empty() || (content.back() & 0x80) != 0) return {};
  const std::vector<std::uint8_t> whole = element(kOid, content);
  const unsigned char* p = whole.data();
  Ptr<ASN1_OBJECT> object(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(whole.size())));
  if (!object) return {};
  char small[128];
  const int length = OBJ_obj2txt(small, sizeof small, object.get(), 1);
  if (length <= 0) return {};
  if (static_cast<std::size_t>(length) < sizeof small) return std::string(small, length);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  OBJ_obj2txt(text.data(), length + 1, object.get(), 1);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::vector<std::uint8_t> oidElement(const char* text) {
  if (text == nullptr) return {};
  Ptr<ASN1_OBJECT> object(OBJ_txt2obj(text, 1));
  if (!object) return {};
  const int length = i2d_ASN1_OBJECT(object.get(), nullptr);
  if (length <= 2) return {};
  std::vector<std::uint8_t> out(static_cast<std::size_t>(length));
  unsigned char* p = out.data();
  if (i2d_ASN1_OBJECT(object.get(), &p) != length) return {};
  return out;
}

std::vector<std::uint8_t> littleEndianOf(std::span<const std::uint8_t> content) {
  return std::vector<std::uint8_t>(content.rbegin(), content.rend());
}

std::vector<std::uint8_t> integerElement(std::span<const std::uint8_t> littleEndian) {
  std::vector<std::uint8_t> bigEndian(littleEndian.rbegin(), littleEndian.rend());
  if (bigEndian.empty()) bigEndian.push_back(0);
  // A leading 00 before a clear top bit, or FF before a set one, says nothing.
  std::size_t skip = 0;
  while (skip + 1 < bigEndian.size() &&
         ((bigEndian[skip] == 0x00 && (bigEndian[skip + 1] & 0x80) == 0) ||
          (bigEndian[skip] == 0xFF && (bigEndian[skip + 1] & 0x80) != 0))) {
    ++skip;
  }
  return element(kInteger, std::span(bigEndian).subspan(skip));
}

}  // namespace kestrune::cryptoapi::der
