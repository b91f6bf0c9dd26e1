// Objects of any class by label: deleting, checking, renaming.
#include "token/object_access.h"
#include "token/state.h"

namespace kestrune::token {
namespace {

// findByLabel finds the one object with the label (any class) into entry 0 of the handle
// buffer.
std::uint32_t findByLabel(TokenSession* session, std::string_view label) {
  AttributeTemplate tmpl;
  p11_LabelTemplate(detail::tokenState.privateObjects, label, tmpl);
  return detail::findExactlyOne(session, tmpl, 3);
}

}  // namespace

std::uint32_t p11_DestroyObject(TokenSession* session, std::string_view label) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  const auto& f = detail::entryPoints();
  if (auto code = detail::requireSearch()) return code;
  if (auto code = detail::requireEntryPoints(f.C_DestroyObject)) return code;
  if (auto code = findByLabel(session, label)) return code;
  return detail::call(f.C_DestroyObject, detail::sessionHandle(session),
                      detail::objectHandles[0]) == CKR_OK
             ? +TokenCode::kTokenOk
             : +TokenCode::kDestroyFailed;
}

std::uint32_t p11_ObjectExists(TokenSession* session, std::string_view label) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  if (auto code = detail::requireSearch()) return code;
  return findByLabel(session, label);
}

std::uint32_t p11_RenameObject(TokenSession* session, std::string_view oldLabel,
                               std::string_view newLabel) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  const auto& f = detail::entryPoints();
  if (auto code = detail::requireSearch()) return code;
  if (auto code = detail::requireEntryPoints(f.C_SetAttributeValue)) return code;
  if (auto code = findByLabel(session, oldLabel)) return code;
  CK_ATTRIBUTE label{CKA_LABEL, const_cast<char*>(newLabel.data()),
                     static_cast<CK_ULONG>(newLabel.size())};
  return detail::call(f.C_SetAttributeValue, detail::sessionHandle(session),
                      detail::objectHandles[0], &label, CK_ULONG{1}) == CKR_OK
             ? +TokenCode::kTokenOk
             : +TokenCode::kRenameFailed;
}

}  // namespace kestrune::token
