// Enumerating the token's objects by kind, with what each kind carries.
#include <algorithm>
#include <array>

#include "token/object_access.h"
#include "token/state.h"

namespace kestrune::token {
namespace {

using detail::AttributeRead;

constexpr std::size_t kLabelBuffer = 256;

// What each kind of object is on the token; secret keys are told apart by their key type.
struct Kind {
  std::uint32_t code;
  CK_OBJECT_CLASS objectClass;
  bool hasKeyType;
  CK_KEY_TYPE keyType;
};

constexpr std::array<Kind, 6> kKinds = {{
    {kKindData, CKO_DATA, false, 0},
    {kKindPublicKey, CKO_PUBLIC_KEY, false, 0},
    {kKindPrivateKey, CKO_PRIVATE_KEY, false, 0},
    {kKindDesKey, CKO_SECRET_KEY, true, CKK_DES},
    {kKindDes3Key, CKO_SECRET_KEY, true, CKK_DES3},
    {kKindCertificate, CKO_CERTIFICATE, false, 0},
}};

// kindOf returns the kind with that code; null for any other code, which lists every token
// object of the session's privacy.
const Kind* kindOf(std::uint32_t code) {
  for (const Kind& kind : kKinds) {
    if (kind.code == code) return &kind;
  }
  return nullptr;
}

// kindCode returns the code of an object's class (and key type, for secret keys); 0 for an
// object of no kind here.
std::uint32_t kindCode(CK_OBJECT_CLASS objectClass, CK_KEY_TYPE keyType) {
  for (const Kind& kind : kKinds) {
    if (kind.objectClass == objectClass && (!kind.hasKeyType || kind.keyType == keyType)) {
      return kind.code;
    }
  }
  return 0;
}

// readClassAndLabel reads both in one call, the label into a buffer of 256 bytes. The label
// ends at its first zero byte, and at 255 bytes.
std::uint32_t readClassAndLabel(TokenSession* session, CK_OBJECT_HANDLE object,
                                TokenObjectRecord& record, CK_OBJECT_CLASS& objectClass) {
  std::array<char, kLabelBuffer> label{};
  std::array<CK_ATTRIBUTE, 2> attributes{{
      {CKA_CLASS, &objectClass, sizeof objectClass},
      {CKA_LABEL, label.data(), label.size()},
  }};
  if (detail::call(detail::entryPoints().C_GetAttributeValue, detail::sessionHandle(session),
                   object, attributes.data(), CK_ULONG{2}) != CKR_OK ||
      attributes[1].ulValueLen > label.size()) {
    return +TokenCode::kAttributeReadFailed;
  }
  const std::size_t length = std::min<std::size_t>(attributes[1].ulValueLen, kLabelBuffer - 1);
  record.label.assign(label.data(), std::find(label.data(), label.data() + length, '\0'));
  return +TokenCode::kTokenOk;
}

std::uint32_t readKeyType(TokenSession* session, CK_OBJECT_HANDLE object, CK_KEY_TYPE& keyType) {
  CK_ATTRIBUTE attribute{CKA_KEY_TYPE, &keyType, sizeof keyType};
  return detail::call(detail::entryPoints().C_GetAttributeValue, detail::sessionHandle(session),
                      object, &attribute, CK_ULONG{1}) == CKR_OK
             ? +TokenCode::kTokenOk
             : +TokenCode::kAttributeReadFailed;
}

// readValues fills what the record's kind carries; a value the module won't give leaves all
// of this record's values empty, and the enumeration goes on.
void readValues(TokenSession* session, CK_OBJECT_HANDLE object, TokenObjectRecord& record) {
  std::uint32_t code = +TokenCode::kTokenOk;
  if (record.kind == kKindData) {
    const AttributeRead read{CKA_VALUE, &record.value};
    code = detail::readAttributes(session, object, {&read, 1});
  } else if (record.kind == kKindCertificate) {
    const std::array<AttributeRead, 5> reads{{{CKA_SUBJECT, &record.subject},
                                              {CKA_ID, &record.id},
                                              {CKA_ISSUER, &record.issuer},
                                              {CKA_SERIAL_NUMBER, &record.serialNumber},
                                              {CKA_VALUE, &record.value}}};
    for (const auto& read : reads) {
      code = detail::readAttributes(session, object, {&read, 1});
      if (code != +TokenCode::kTokenOk) break;
    }
  }
  if (code != +TokenCode::kTokenOk) {
    record.subject.clear();
    record.id.clear();
    record.issuer.clear();
    record.serialNumber.clear();
    record.value.clear();
  }
}

std::uint32_t listObjects(TokenSession* session, std::uint32_t kind,
                          std::vector<TokenObjectRecord>& records) {
  const Kind* wanted = kindOf(kind);
  AttributeTemplate tmpl;
  const CK_BBOOL& isPrivate =
      detail::tokenState.privateObjects == 1 ? detail::kTrue : detail::kFalse;
  std::size_t n = detail::setEntry(tmpl, 0, CKA_TOKEN, &detail::kTrue, sizeof(CK_BBOOL));
  n = detail::setEntry(tmpl, n, CKA_PRIVATE, &isPrivate, sizeof(CK_BBOOL));
  if (wanted != nullptr) {
    n = detail::setEntry(tmpl, n, CKA_CLASS, &wanted->objectClass, sizeof wanted->objectClass);
  }
  if (wanted != nullptr && wanted->hasKeyType) {
    n = detail::setEntry(tmpl, n, CKA_KEY_TYPE, &wanted->keyType, sizeof wanted->keyType);
  }
  CK_ULONG found = 0;
  if (p11_FindObjects(session, detail::objectHandles.data(), tmpl.data(), static_cast<CK_ULONG>(n),
                      &found) != CKR_OK) {
    return +TokenCode::kSearchFailed;
  }
  if (found == 0) return +TokenCode::kNotFound;
  std::vector<TokenObjectRecord> result(std::min<CK_ULONG>(found, kHandleBufferEntries));
  for (std::size_t i = 0; i < result.size(); ++i) {
    const CK_OBJECT_HANDLE object = detail::objectHandles[i];
    TokenObjectRecord& record = result[i];
    CK_OBJECT_CLASS objectClass = 0;
    if (auto code = readClassAndLabel(session, object, record, objectClass)) return code;
    CK_KEY_TYPE keyType = 0;
    if (objectClass == CKO_SECRET_KEY) {
      if (auto code = readKeyType(session, object, keyType)) return code;
    }
    record.kind = kindCode(objectClass, keyType);
    readValues(session, object, record);
  }
  records = std::move(result);
  return +TokenCode::kTokenOk;
}

}  // namespace

std::uint32_t p11_ListObjects(TokenSession* session, std::uint32_t kind,
                              std::vector<TokenObjectRecord>& records) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  if (auto code = detail::requireSearch()) return code;
  if (auto code = detail::requireEntryPoints(detail::entryPoints().C_GetAttributeValue)) {
    return code;
  }
  return detail::guardMemory([&] { return listObjects(session, kind, records); });
}

}  // namespace kestrune::token
