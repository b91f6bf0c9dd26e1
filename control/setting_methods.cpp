// The methods that only set switches or report on the module.
#include <algorithm>

#include "control/control_internal.h"
#include "TVCAPI/tvcapi.h"
#include "platform/platform.h"

namespace kestrune {

void TVFEDIMiniKeyCrypt::setTestVersion(std::int32_t iTest) {
  control::inFrame(*this, [&] {
    const auto selection =
        iTest != 0 ? control::CaRecordSelection::test : control::CaRecordSelection::production;
    // Only this instance's decoded record is dropped; the others keep theirs.
    if (control::selectCaRecord(selection)) caKeyRecord.reset();
  });
}

void TVFEDIMiniKeyCrypt::setP11CryptReinit(std::int32_t reinit) {
  token::p11_SetReinit(reinit);
}

// The CryptoAPI layer's diagnostics follow the control's switch; the layer's flag is
// process-wide, so the last instance to set it decides for all.
void TVFEDIMiniKeyCrypt::showDebugMessage(std::int32_t bShow) {
  showDebug = bShow;
  TVXCAPI_SetDebugFlag(bShow);
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::TV_GETVersion(std::int32_t /*flag*/) {
  return control::inFrame(*this, [this]() -> std::optional<std::u16string> {
    constexpr std::size_t kVersionBuffer = 128;
    std::string version = platform::moduleFileVersion();
    if (version.empty()) return std::nullopt;
    version.erase(std::remove(version.begin(), version.end(), ' '), version.end());
    if (version.size() >= kVersionBuffer) return std::nullopt;
    return control::toBstr(*this, version);
  });
}

}  // namespace kestrune
