#include "token/state.h"

namespace kestrune::token::detail {

// Constant-initialised so that no other layer's static set-up can see them unset. The two
// records holding strings and vectors are constant-initialised where the compiler can (g++);
// clang with libstdc++ can't promise it for std::string.
TokenLibraryTable libraryTable;
TokenState tokenState;
constinit std::uint32_t requestedSlotIndex = 0;
constinit std::array<CK_OBJECT_HANDLE, kHandleBufferEntries> objectHandles{};
constinit std::uint64_t moduleCalls = 0;

}  // namespace kestrune::token::detail
