// Process-wide state of the token layer and the one way it calls a module.
//
// Internal to the layer: the library table, the token state, the requested slot index and the
// object-handle buffer are shared by every caller in the process, unlocked (all calls come on
// the control's one thread).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "token/token.h"

namespace kestrune::token::detail {

// The 39 entry points a row resolves, in the order they are looked up.
// clang-format off
#define KESTRUNE_TOKEN_ENTRY_POINTS(X) \
  X(C_Initialize) X(C_GetSlotList) X(C_Finalize) X(C_GetTokenInfo) \
  X(C_InitToken) X(C_OpenSession) X(C_Login) X(C_InitPIN) \
  X(C_Logout) X(C_CloseSession) X(C_GetSessionInfo) X(C_SetPIN) \
  X(C_FindObjectsInit) X(C_FindObjects) X(C_FindObjectsFinal) X(C_CreateObject) \
  X(C_GetAttributeValue) X(C_DestroyObject) X(C_DigestInit) X(C_Digest) \
  X(C_GenerateKey) X(C_GenerateKeyPair) X(C_EncryptInit) X(C_Encrypt) \
  X(C_DecryptInit) X(C_Decrypt) X(C_SignInit) X(C_Sign) \
  X(C_VerifyInit) X(C_Verify) X(C_EncryptUpdate) X(C_EncryptFinal) \
  X(C_DecryptUpdate) X(C_DecryptFinal) X(C_SignUpdate) X(C_SignFinal) \
  X(C_VerifyUpdate) X(C_VerifyFinal) X(C_SetAttributeValue)
// clang-format on

// EntryPoints holds one module's functions; one the module doesn't export stays null.
struct EntryPoints {
#define KESTRUNE_TOKEN_DECLARE_ENTRY(name) CK_##name name = nullptr;
  KESTRUNE_TOKEN_ENTRY_POINTS(KESTRUNE_TOKEN_DECLARE_ENTRY)
#undef KESTRUNE_TOKEN_DECLARE_ENTRY
};

struct ModuleUnloader {
  void operator()(platform::LibraryHandle module) const noexcept {
    platform::unloadLibrary(module);
  }
};
// A loaded module, unloaded when its owner goes.
using ModuleHandle = std::unique_ptr<void, ModuleUnloader>;

struct TokenLibraryEntry {
  ModuleHandle module;  // null: the row is empty
  std::string name;     // the name exactly as the caller gave it
  EntryPoints entry;
  bool joined = false;  // the session counts among the module's users (joinModule)
};

// leaveModule ends the session's use of a row's module (finalising it when no other user has
// it), recording the module call's answer when recorded.
CK_RV leaveModule(TokenLibraryEntry& row, bool recorded);

constexpr std::size_t kLibraryRows = 8;

struct TokenLibraryTable {
  std::array<TokenLibraryEntry, kLibraryRows> rows;
  std::uint32_t libraryCount = 0;
  std::uint32_t currentLibrary = 0;
  std::int32_t p11CryptReinit = 0;  // exactly 1: re-initialise between length query and call
};

struct TokenState {
  CK_RV lastRV = CKR_OK;
  std::uint32_t slotCount = 0;
  std::uint32_t currentSlot = 0;  // 0: first slot; k > 0: slot list position k - 1
  std::vector<CK_SLOT_ID> slotList;
  std::uint32_t privateObjects = 0;  // CKA_PRIVATE of every object template
};

extern TokenLibraryTable libraryTable;
extern TokenState tokenState;
extern std::uint32_t requestedSlotIndex;
extern std::array<CK_OBJECT_HANDLE, kHandleBufferEntries> objectHandles;
extern std::uint64_t moduleCalls;

// The row of the current library.
inline TokenLibraryEntry& currentRow() {
  return libraryTable.rows[libraryTable.currentLibrary];
}
inline bool libraryLoaded() {
  return libraryTable.rows[libraryTable.currentLibrary].module != nullptr;
}
inline const EntryPoints& entryPoints() {
  return libraryTable.rows[libraryTable.currentLibrary].entry;
}

// call makes one module call, counts it and records its CK_RV as lastRV. A null entry point is
// never called: it answers CKR_FUNCTION_NOT_SUPPORTED.
template <class Fn, class... Args>
CK_RV call(Fn fn, Args... args) {
  CK_RV rv = CKR_FUNCTION_NOT_SUPPORTED;
  if (fn != nullptr) {
    ++moduleCalls;
    rv = fn(args...);
  }
  tokenState.lastRV = rv;
  return rv;
}

// callUnrecorded is call without touching lastRV, for the clean-up calls whose outcome must not
// hide the failure that caused them (and C_FindObjectsFinal, whose result means nothing here).
template <class Fn, class... Args>
CK_RV callUnrecorded(Fn fn, Args... args) {
  if (fn == nullptr) return CKR_FUNCTION_NOT_SUPPORTED;
  ++moduleCalls;
  return fn(args...);
}

// requireEntryPoints returns 0 when every function an operation needs is exported by the
// current module; otherwise it records CKR_FUNCTION_NOT_SUPPORTED and returns 130, before the
// operation has done anything.
template <class... Fns>
std::uint32_t requireEntryPoints(Fns... fns) {
  if ((... && (fns != nullptr))) return +TokenCode::kTokenOk;
  tokenState.lastRV = CKR_FUNCTION_NOT_SUPPORTED;
  return +TokenCode::kEntryPointMissing;
}

// sessionHandle gives the handle of a session record; a missing record is the invalid handle,
// which the module refuses like any stale session.
inline CK_SESSION_HANDLE sessionHandle(const TokenSession* session) {
  return session != nullptr ? session->handle : CK_INVALID_HANDLE;
}

// guardMemory runs an operation and turns memory exhaustion into 115.
template <class Operation>
std::uint32_t guardMemory(Operation&& operation) noexcept {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return +TokenCode::kNoMemory;
  } catch (const std::length_error&) {  // a length no allocation can serve
    return +TokenCode::kNoMemory;
  }
}

}  // namespace kestrune::token::detail
