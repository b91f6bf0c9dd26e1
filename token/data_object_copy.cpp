// Copies of data objects: taken before an object is deleted for replacement, and written back
// when its replacement can't be created.
#include "token/object_access.h"
#include "token/state.h"

namespace kestrune::token {
namespace {

using detail::tokenState;

std::uint32_t readCopy(TokenSession* session, std::string_view label, DataObjectCopy& copy) {
  const CK_OBJECT_CLASS dataClass = CKO_DATA;
  AttributeTemplate tmpl;
  p11_LabelTemplate(tokenState.privateObjects, label, tmpl);
  const auto count = detail::setEntry(tmpl, 3, CKA_CLASS, &dataClass, sizeof dataClass);
  if (auto code = detail::findExactlyOne(session, tmpl, static_cast<CK_ULONG>(count))) {
    return code;
  }
  Bytes value;
  Bytes application;
  Bytes isPrivate;
  const detail::AttributeRead reads[] = {
      {CKA_VALUE, &value}, {CKA_APPLICATION, &application}, {CKA_PRIVATE, &isPrivate}};
  if (auto code = detail::readAttributes(session, detail::objectHandles[0], reads)) return code;
  if (isPrivate.size() != sizeof(CK_BBOOL)) return +TokenCode::kAttributeReadFailed;
  copy.value = std::move(value);
  copy.application = std::move(application);
  copy.isPrivate = isPrivate[0] != CK_FALSE;
  return +TokenCode::kTokenOk;
}

std::uint32_t restore(TokenSession* session, std::string_view label, const DataObjectCopy& copy) {
  const auto& f = detail::entryPoints();
  if (auto code = detail::requireEntryPoints(f.C_CreateObject)) return code;
  const CK_OBJECT_CLASS dataClass = CKO_DATA;
  // The object comes back with its own private flag, so that flag decides what "already
  // there" means too.
  AttributeTemplate tmpl;
  p11_LabelTemplate(copy.isPrivate ? 1 : 0, label, tmpl);
  const auto searchCount = detail::setEntry(tmpl, 3, CKA_CLASS, &dataClass, sizeof dataClass);
  if (auto code = detail::findNone(session, tmpl, static_cast<CK_ULONG>(searchCount))) {
    return code;
  }
  const CK_BBOOL& isPrivate = copy.isPrivate ? detail::kTrue : detail::kFalse;
  std::size_t n = detail::setEntry(tmpl, 0, CKA_TOKEN, &detail::kTrue, sizeof(CK_BBOOL));
  n = detail::setEntry(tmpl, n, CKA_PRIVATE, &isPrivate, sizeof(CK_BBOOL));
  n = detail::setEntry(tmpl, n, CKA_LABEL, label.data(), static_cast<CK_ULONG>(label.size()));
  n = detail::setEntry(tmpl, n, CKA_CLASS, &dataClass, sizeof dataClass);
  n = detail::setEntry(tmpl, n, CKA_APPLICATION, copy.application.data(),
                       static_cast<CK_ULONG>(copy.application.size()));
  n = detail::setEntry(tmpl, n, CKA_VALUE, copy.value.data(),
                       static_cast<CK_ULONG>(copy.value.size()));
  CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
  if (detail::call(f.C_CreateObject, detail::sessionHandle(session), tmpl.data(),
                   static_cast<CK_ULONG>(n), &created) != CKR_OK) {
    return +TokenCode::kCreateFailed;
  }
  detail::objectHandles[0] = created;
  return +TokenCode::kTokenOk;
}

}  // namespace

std::uint32_t p11_ReadDataObjectCopy(TokenSession* session, std::string_view label,
                                     DataObjectCopy& copy) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  if (auto code = detail::requireSearch()) return code;
  if (auto code = detail::requireEntryPoints(detail::entryPoints().C_GetAttributeValue)) {
    return code;
  }
  return detail::guardMemory([&] { return readCopy(session, label, copy); });
}

std::uint32_t p11_RestoreDataObject(TokenSession* session, std::string_view label,
                                    const DataObjectCopy& copy) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  if (auto code = detail::requireSearch()) return code;
  return detail::guardMemory([&] { return restore(session, label, copy); });
}

}  // namespace kestrune::token
