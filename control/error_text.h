// What a number in lastErrorCode means: the control's own codes, the authority's refusals
// (2000 + its status), the CryptoAPI layer's codes (5001 to 5901) and the network errors
// (12000 to 12171) that methods pass on unchanged.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune {

// A short English text, naming the layer a passed-on code comes from; empty for a number no
// method leaves.
std::string errorCodeText(std::int32_t code);

}  // namespace kestrune
