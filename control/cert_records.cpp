// The FEDI records the control holds: their release, the first certificate of a bag, and a
// bag's DER.
#include <new>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/cert_internal.h"

namespace kestrune {

void FediRecordRelease::operator()(FEDICERT* bag) const noexcept {
  FEDICERT_free(bag);
}

void FediRecordRelease::operator()(FEDI_CAPUBKEY* record) const noexcept {
  FEDI_CAPUBKEY_free(record);
}

}  // namespace kestrune

namespace kestrune::control {

fedi::RecordPtr<FEDI_X509> firstCertificate(FEDICERT* bag) {
  return fedi::RecordPtr<FEDI_X509>(FEDICERT_get_cert(bag, 0));
}

std::int32_t encodeBag(FEDICERT* bag, std::vector<std::uint8_t>& der, std::int32_t emptyCode) {
  const int length = i2d_FEDICERT(bag, nullptr);
  if (length <= 0) return emptyCode;
  try {
    der.assign(static_cast<std::size_t>(length), 0);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  unsigned char* position = der.data();
  if (i2d_FEDICERT(bag, &position) != length) return emptyCode;
  return kOk;
}

}  // namespace kestrune::control
