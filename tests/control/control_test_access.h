// ControlTestAccess runs the control's internal operations for tests and benchmarks, each inside
// the method frame as the control's own methods run them. It reaches what no method exposes as
// such: a builder's result without the file that makeRequestCert writes, and the null reason that
// no method passes.
#pragma once

#include <cstdint>
#include <vector>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/method_frame.h"
#include "control/request_internal.h"

namespace kestrune {

struct ControlTestAccess {
  static std::int32_t buildNewRequest(TVFEDIMiniKeyCrypt& control, const char* pass,
                                      std::vector<std::uint8_t>& der) {
    control::ControlState& state = control;
    return control::codeMethod(state, [&] { return control::buildNewRequest(state, pass, der); });
  }
  static std::int32_t buildRevokeRequest(TVFEDIMiniKeyCrypt& control, const char* reason,
                                         std::vector<std::uint8_t>& der) {
    control::ControlState& state = control;
    return control::codeMethod(state,
                               [&] { return control::buildRevokeRequest(state, reason, der); });
  }
};

}  // namespace kestrune
