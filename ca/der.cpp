// toDer of the records the authority hands out, through the one DER encoder.
#include <new>

#include "ca/issuing.h"
#include "common/der.h"

namespace kestrune::ca {

std::vector<std::uint8_t> toDer(const FEDI_X509& certificate) noexcept {
  try {
    return kestrune::toDer(&certificate, i2d_FEDI_X509);
  } catch (const std::bad_alloc&) {
    return {};
  }
}

std::vector<std::uint8_t> toDer(const FEDICERT& bag) noexcept {
  try {
    return kestrune::toDer(&bag, i2d_FEDICERT);
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace kestrune::ca
