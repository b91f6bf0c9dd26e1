// Initialising and finalising the current module, and the list of slots with a token present.
#include "token/state.h"

namespace kestrune::token {
namespace {

using detail::tokenState;

// finalizeAfterFailure leaves the module as it was before initialising; lastRV keeps the
// failure that led here.
std::uint32_t finalizeAfterFailure(std::uint32_t code) {
  tokenState.slotList.clear();
  tokenState.slotCount = 0;
  tokenState.currentSlot = 0;
  detail::leaveModule(detail::currentRow(), false);
  return code;
}

std::uint32_t readSlotList(std::uint32_t slotIndex) {
  const auto& f = detail::entryPoints();
  CK_ULONG count = 0;
  if (detail::call(f.C_GetSlotList, CK_TRUE, nullptr, &count) != CKR_OK) {
    return finalizeAfterFailure(+TokenCode::kNotFound);
  }
  if (count == 0) return finalizeAfterFailure(+TokenCode::kNoTokenPresent);
  tokenState.slotList.assign(count, CK_SLOT_ID{0});
  if (detail::call(f.C_GetSlotList, CK_TRUE, tokenState.slotList.data(), &count) != CKR_OK) {
    return finalizeAfterFailure(+TokenCode::kNotFound);
  }
  // A reader may have lost a token between the two calls: keep only what the module wrote.
  if (count == 0) return finalizeAfterFailure(+TokenCode::kNoTokenPresent);
  tokenState.slotList.resize(count);
  tokenState.slotCount = static_cast<std::uint32_t>(count);
  if (slotIndex < count) tokenState.currentSlot = slotIndex + 1;
  return +TokenCode::kTokenOk;
}

}  // namespace

std::uint32_t p11_Initialize(std::uint32_t slotIndex) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  tokenState = detail::TokenState{};
  const auto& f = detail::entryPoints();
  if (auto code = detail::requireEntryPoints(f.C_Initialize, f.C_GetSlotList, f.C_Finalize)) {
    return code;
  }
  detail::TokenLibraryEntry& row = detail::currentRow();
  // Joined already: the module answers a second C_Initialize as initialised, as before.
  if (row.joined) {
    detail::call(f.C_Initialize, nullptr);
    return +TokenCode::kInitializeFailed;
  }
  if (joinModule(f.C_Initialize, [&] { return detail::call(f.C_Initialize, nullptr); }) != CKR_OK) {
    return +TokenCode::kInitializeFailed;
  }
  row.joined = true;
  const std::uint32_t code = detail::guardMemory([&] { return readSlotList(slotIndex); });
  // Out of memory for the slot list: the module must not stay initialised behind our back.
  return code == +TokenCode::kNoMemory ? finalizeAfterFailure(+TokenCode::kNoMemory) : code;
}

std::uint32_t p11_Finalize() {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  const auto& f = detail::entryPoints();
  if (auto code = detail::requireEntryPoints(f.C_Finalize)) return code;
  // Forget the slots with the list, so that no session can be opened on a stale slot id.
  tokenState.slotList = {};
  tokenState.slotCount = 0;
  return detail::leaveModule(detail::currentRow(), true) == CKR_OK ? +TokenCode::kTokenOk
                                                                   : +TokenCode::kFinalizeFailed;
}

namespace detail {

CK_RV leaveModule(TokenLibraryEntry& row, bool recorded) {
  const auto& f = row.entry;
  if (!row.joined) {
    // Not initialised through the session: the module answers for itself, as it always did.
    return recorded ? call(f.C_Finalize, nullptr) : callUnrecorded(f.C_Finalize, nullptr);
  }
  row.joined = false;
  return token::leaveModule(f.C_Initialize, [&] {
    return recorded ? call(f.C_Finalize, nullptr) : callUnrecorded(f.C_Finalize, nullptr);
  });
}

}  // namespace detail
}  // namespace kestrune::token
