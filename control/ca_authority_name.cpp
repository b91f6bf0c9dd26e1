// buildAuthorityName: the X.509 name by which the CA queries name an authority (casid1,
// casid2) or a holder (sid1, sid2), in the order of the certificates' names: O, then CN.
#include "control/ca_internal.h"
#include "control/control_internal.h"
#include "control/request_builders.h"

namespace kestrune {

std::int32_t control::buildAuthorityName(ControlState& state, std::u16string_view first,
                                         std::u16string_view second, Ptr<X509_NAME>& name) {
  name.reset();
  const auto commonName = argumentText(state, first);
  if (!commonName) return +ControlCode::kBadText;
  const auto organisation = argumentText(state, second);
  if (!organisation) return +ControlCode::kBadText;
  const control::NameEntry entries[] = {{"O", *organisation}, {"CN", *commonName}};
  name = control::makeNameFromTable(entries);
  return name ? +ControlCode::kOk : +ControlCode::kNoMemory;
}

}  // namespace kestrune
