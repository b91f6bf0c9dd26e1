// What the token benchmarks share: a SoftHSM2 token made for one benchmark, a control logged
// in on it, and the module's own function list for the baselines that call it directly.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "token/pkcs11.h"

namespace kestrune::bench {

// textWithZero is the text followed by the zero byte the control stores after a value.
std::vector<std::uint8_t> textWithZero(std::string_view text);

// endSharedSession ends the process-wide session an earlier benchmark left open: SoftHSM2 reads
// its configuration (the token folder) only when it starts, so it must be finalised before the
// next benchmark's token is made. Destroying a control closes the session and finalises it.
void endSharedSession();

// logInOnSoftHsm loads SoftHSM2 into control and verifies the test PIN; false when either fails.
bool logInOnSoftHsm(TVFEDIMiniKeyCrypt& control);

// softHsmFunctions returns the function list of the module instance the token layer uses (a
// second dlopen of the same path gives the same copy), or null.
CK_FUNCTION_LIST* softHsmFunctions();

}  // namespace kestrune::bench
