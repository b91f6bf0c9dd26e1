// Data objects by label: creating them and reading their values.
#include <algorithm>
#include <array>

#include "token/object_access.h"
#include "token/state.h"

namespace kestrune::token {
namespace {

using detail::tokenState;

// Every data object this system writes names its writer.
constexpr std::array<CK_BYTE, 11> kApplication = {'V', 'o', 'r', 'n', 'i', 'x',
                                                  '-', 'P', '1', '1', '\0'};

std::uint32_t createDataObject(TokenSession* session, std::string_view label,
                               std::span<const std::uint8_t> value) {
  const auto& f = detail::entryPoints();
  if (auto code = detail::requireSearch()) return code;
  if (auto code = detail::requireEntryPoints(f.C_CreateObject)) return code;
  const CK_OBJECT_CLASS dataClass = CKO_DATA;
  AttributeTemplate tmpl;
  p11_LabelTemplate(tokenState.privateObjects, label, tmpl);
  const auto searchCount = detail::setEntry(tmpl, 3, CKA_CLASS, &dataClass, sizeof dataClass);
  if (auto code = detail::findNone(session, tmpl, static_cast<CK_ULONG>(searchCount))) {
    return code;
  }
  // Stored with one zero byte after it, so a text value keeps its terminating zero.
  Bytes stored(value.size() + 1, 0);
  std::copy(value.begin(), value.end(), stored.begin());
  const CK_BBOOL& isPrivate = tokenState.privateObjects == 1 ? detail::kTrue : detail::kFalse;
  std::size_t n = detail::setEntry(tmpl, 0, CKA_TOKEN, &detail::kTrue, sizeof(CK_BBOOL));
  n = detail::setEntry(tmpl, n, CKA_PRIVATE, &isPrivate, sizeof(CK_BBOOL));
  n = detail::setEntry(tmpl, n, CKA_LABEL, label.data(), static_cast<CK_ULONG>(label.size()));
  n = detail::setEntry(tmpl, n, CKA_CLASS, &dataClass, sizeof dataClass);
  n = detail::setEntry(tmpl, n, CKA_APPLICATION, kApplication.data(), kApplication.size());
  n = detail::setEntry(tmpl, n, CKA_VALUE, stored.data(), static_cast<CK_ULONG>(stored.size()));
  CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
  if (detail::call(f.C_CreateObject, detail::sessionHandle(session), tmpl.data(),
                   static_cast<CK_ULONG>(n), &created) != CKR_OK) {
    return +TokenCode::kCreateFailed;
  }
  detail::objectHandles[0] = created;
  return +TokenCode::kTokenOk;
}

std::uint32_t readValue(TokenSession* session, std::string_view label, CK_OBJECT_CLASS objectClass,
                        CK_ATTRIBUTE_TYPE wanted, Bytes& value) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  if (auto code = detail::requireSearch()) return code;
  if (auto code = detail::requireEntryPoints(detail::entryPoints().C_GetAttributeValue)) {
    return code;
  }
  AttributeTemplate tmpl;
  p11_LabelTemplate(tokenState.privateObjects, label, tmpl);
  const auto count = detail::setEntry(tmpl, 3, CKA_CLASS, &objectClass, sizeof objectClass);
  if (auto code = detail::findExactlyOne(session, tmpl, static_cast<CK_ULONG>(count))) {
    return code;
  }
  return detail::guardMemory([&] {
    const detail::AttributeRead read{wanted, &value};
    return detail::readAttributes(session, detail::objectHandles[0], {&read, 1});
  });
}

}  // namespace

std::uint32_t p11_CreateDataObject(TokenSession* session, std::string_view label,
                                   std::span<const std::uint8_t> value) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  return detail::guardMemory([&] { return createDataObject(session, label, value); });
}

std::uint32_t p11_ReadDataValue(TokenSession* session, std::string_view label, Bytes& value) {
  return readValue(session, label, CKO_DATA, CKA_VALUE, value);
}

std::uint32_t p11_ReadCertificateValue(TokenSession* session, std::string_view label,
                                       Bytes& value) {
  return readValue(session, label, CKO_CERTIFICATE, CKA_VALUE, value);
}

std::uint32_t p11_ReadDataApplication(TokenSession* session, std::string_view label, Bytes& value) {
  return readValue(session, label, CKO_DATA, CKA_APPLICATION, value);
}

}  // namespace kestrune::token
