// Which built-in CA public-key record the process uses: the production authority's or the
// test authority's. The selection is process-wide; setTestVersion switches it.
#pragma once

namespace kestrune::control {

enum class CaRecordSelection { production, test };

CaRecordSelection selectedCaRecord() noexcept;
// selectCaRecord returns true when the selection changed.
bool selectCaRecord(CaRecordSelection selection) noexcept;

}  // namespace kestrune::control
