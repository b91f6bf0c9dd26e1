// The one search primitive: objects by template into the process-wide handle buffer.
#include <array>
#include <cstring>
#include <vector>

#include "token/object_access.h"
#include "token/state.h"

namespace kestrune::token {
namespace {

constexpr CK_ULONG kLabelEntry = 2;  // every label template has the label third

struct Pass {
  CK_RV rv;
  bool initFailed;
};

Pass searchOnce(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* handles, CK_ATTRIBUTE* tmpl,
                CK_ULONG count, CK_ULONG* found) {
  const auto& f = detail::entryPoints();
  *found = 0;
  const CK_RV init = detail::call(f.C_FindObjectsInit, session, tmpl, count);
  if (init != CKR_OK) return {init, true};
  const CK_RV rv = detail::call(f.C_FindObjects, session, handles,
                                static_cast<CK_ULONG>(kHandleBufferEntries), found);
  detail::callUnrecorded(f.C_FindObjectsFinal, session);
  return {rv, false};
}

// searchWithTerminatedLabel searches again with the label followed by a zero byte, as other
// applications store it. The zero is appended to a copy: the caller's label need not be
// zero-terminated. The template entry is restored afterwards.
CK_RV searchWithTerminatedLabel(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* handles,
                                CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ULONG* found) {
  CK_ATTRIBUTE& label = tmpl[kLabelEntry];
  const CK_ATTRIBUTE saved = label;
  std::array<CK_BYTE, 256> shortCopy;
  std::vector<CK_BYTE> longCopy;
  CK_BYTE* copy = shortCopy.data();
  if (saved.ulValueLen >= shortCopy.size()) {
    longCopy.resize(saved.ulValueLen + 1);
    copy = longCopy.data();
  }
  if (saved.ulValueLen > 0) std::memcpy(copy, saved.pValue, saved.ulValueLen);
  copy[saved.ulValueLen] = 0;
  label.pValue = copy;
  label.ulValueLen = saved.ulValueLen + 1;
  const Pass pass = searchOnce(session, handles, tmpl, count, found);
  label = saved;
  return pass.rv;
}

bool hasLabelEntry(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
  if (count <= kLabelEntry) return false;
  const CK_ATTRIBUTE& label = tmpl[kLabelEntry];
  return label.ulValueLen != CK_UNAVAILABLE_INFORMATION &&
         (label.pValue != nullptr || label.ulValueLen == 0);
}

}  // namespace

CK_RV p11_FindObjects(TokenSession* session, CK_OBJECT_HANDLE* handles, CK_ATTRIBUTE* tmpl,
                      CK_ULONG count, CK_ULONG* found) {
  if (found != nullptr) *found = 0;
  if (!detail::libraryLoaded()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (handles == nullptr || found == nullptr || (tmpl == nullptr && count > 0)) {
    return CKR_ARGUMENTS_BAD;
  }
  if (detail::requireSearch() != +TokenCode::kTokenOk) return CKR_FUNCTION_NOT_SUPPORTED;
  const CK_SESSION_HANDLE handle = detail::sessionHandle(session);
  const Pass first = searchOnce(handle, handles, tmpl, count, found);
  if (first.initFailed) return searchOnce(handle, handles, tmpl, count, found).rv;
  if (first.rv != CKR_OK || *found > 0 || !hasLabelEntry(tmpl, count)) return first.rv;
  try {
    return searchWithTerminatedLabel(handle, handles, tmpl, count, found);
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
}

CK_OBJECT_HANDLE* p11_HandleBuffer() {
  return detail::objectHandles.data();
}

std::uint32_t detail::requireSearch() {
  const auto& f = entryPoints();
  return requireEntryPoints(f.C_FindObjectsInit, f.C_FindObjects, f.C_FindObjectsFinal);
}

std::uint32_t detail::findExactlyOne(TokenSession* session, AttributeTemplate& tmpl,
                                     CK_ULONG count) {
  CK_ULONG found = 0;
  if (p11_FindObjects(session, objectHandles.data(), tmpl.data(), count, &found) != CKR_OK) {
    return +TokenCode::kSearchFailed;
  }
  if (found == 0) return +TokenCode::kNotFound;
  return found == 1 ? +TokenCode::kTokenOk : +TokenCode::kAmbiguousLabel;
}

std::uint32_t detail::findNone(TokenSession* session, AttributeTemplate& tmpl, CK_ULONG count) {
  CK_ULONG found = 0;
  if (p11_FindObjects(session, objectHandles.data(), tmpl.data(), count, &found) != CKR_OK) {
    return +TokenCode::kSearchFailed;
  }
  return found == 0 ? +TokenCode::kTokenOk : +TokenCode::kLabelExists;
}

}  // namespace kestrune::token
