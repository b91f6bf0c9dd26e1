// toDer: a record's DER through its own encoder, sized by a first length-only call.
#include <new>

#include "ca/issuing.h"

namespace kestrune::ca {

namespace {

template <class Record>
std::vector<std::uint8_t> encode(int (*i2d)(const Record*, unsigned char**),
                                 const Record& record) noexcept {
  try {
    const int length = i2d(&record, nullptr);
    if (length <= 0) return {};
    std::vector<std::uint8_t> der(static_cast<std::size_t>(length));
    unsigned char* pos = der.data();
    if (i2d(&record, &pos) != length) return {};
    return der;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace

std::vector<std::uint8_t> toDer(const FEDI_X509& certificate) noexcept {
  return encode(i2d_FEDI_X509, certificate);
}

std::vector<std::uint8_t> toDer(const FEDICERT& bag) noexcept {
  return encode(i2d_FEDICERT, bag);
}

}  // namespace kestrune::ca
