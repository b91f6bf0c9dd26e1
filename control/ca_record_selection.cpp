#include "control/ca_record_selection.h"

namespace kestrune::control {
namespace {
CaRecordSelection current = CaRecordSelection::production;
}

CaRecordSelection selectedCaRecord() noexcept {
  return current;
}

bool selectCaRecord(CaRecordSelection selection) noexcept {
  if (selection == current) return false;
  current = selection;
  return true;
}

}  // namespace kestrune::control
