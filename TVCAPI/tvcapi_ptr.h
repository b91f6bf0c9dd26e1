// Ptr<TVCAPIHandle>: C++ owners of TVCAPI's handles, released with TVXCAPI_FreeHandle.
#pragma once

#include "TVCAPI/tvcapi.h"
#include "common/ptr.h"

namespace kestrune {

KESTRUNE_FREE(TVCAPIHandle, TVXCAPI_FreeHandle);

}  // namespace kestrune
