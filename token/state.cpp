#include "token/state.h"

namespace kestrune::token::detail {

// Constant-initialised so that no other layer's static set-up can see them unset.
constinit TokenLibraryTable libraryTable;
constinit TokenState tokenState;
constinit std::uint32_t requestedSlotIndex = 0;
constinit std::array<CK_OBJECT_HANDLE, kHandleBufferEntries> objectHandles{};
constinit std::uint64_t moduleCalls = 0;

}  // namespace kestrune::token::detail
