// What the host's loadLib takes: what the local agent takes, a PKCS#11 module registered with
// p11-kit by its name (Debian's SoftHSM2 is "softhsm2"), and besides, as the control itself
// does, a file name found on the library path or a path.
#pragma once

#include <string>

namespace kestrune::host {

// moduleForLoadLib returns the module path p11-kit registers under the name, or the name
// itself (a path, or a file name for the library path) when none is registered.
std::string moduleForLoadLib(const std::string& name);

}  // namespace kestrune::host
