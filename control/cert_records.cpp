// The FEDI records the control holds: their release, the first certificate of a bag, and a
// bag's DER.
#include <new>

#include "common/der.h"
#include "control/cert_internal.h"
#include "control/control_codes.h"

namespace kestrune::control {

fedi::RecordPtr<FEDI_X509> firstCertificate(FEDICERT* bag) {
  return fedi::RecordPtr<FEDI_X509>(FEDICERT_get_cert(bag, 0));
}

std::int32_t encodeBag(FEDICERT* bag, std::vector<std::uint8_t>& der, std::int32_t emptyCode) {
  try {
    return toDer(bag, i2d_FEDICERT, der) ? +ControlCode::kOk : emptyCode;
  } catch (const std::bad_alloc&) {
    return +ControlCode::kNoMemory;
  }
}

}  // namespace kestrune::control
