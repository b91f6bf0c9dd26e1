// What the control's error codes mean, in the words of the demo's progress lines.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune::host {

// meaningOf names a code the demo's steps can meet: the control's own, the authority's
// refusals (2000 + n) and the HTTP layer's network errors.
std::string meaningOf(std::int32_t code);

}  // namespace kestrune::host
