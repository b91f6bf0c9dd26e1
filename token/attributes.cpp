// Reading attribute values into buffers the caller owns.
#include <array>

#include "token/object_access.h"
#include "token/state.h"

namespace kestrune::token {

std::uint32_t detail::readAttributes(TokenSession* session, CK_OBJECT_HANDLE object,
                                     std::span<const AttributeRead> reads) {
  constexpr std::size_t kMostReads = 8;
  if (reads.size() > kMostReads) return +TokenCode::kAttributeReadFailed;
  std::array<CK_ATTRIBUTE, kMostReads> query{};
  for (std::size_t i = 0; i < reads.size(); ++i) query[i] = {reads[i].type, nullptr, 0};
  const auto& f = entryPoints();
  const CK_SESSION_HANDLE handle = sessionHandle(session);
  const auto count = static_cast<CK_ULONG>(reads.size());
  if (call(f.C_GetAttributeValue, handle, object, query.data(), count) != CKR_OK) {
    return +TokenCode::kAttributeReadFailed;
  }
  for (std::size_t i = 0; i < reads.size(); ++i) {
    if (query[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) return +TokenCode::kAttributeReadFailed;
  }
  std::array<Bytes, kMostReads> values;
  for (std::size_t i = 0; i < reads.size(); ++i) {
    values[i].assign(query[i].ulValueLen, 0);
    query[i].pValue = values[i].data();
  }
  if (call(f.C_GetAttributeValue, handle, object, query.data(), count) != CKR_OK) {
    return +TokenCode::kAttributeReadFailed;
  }
  for (std::size_t i = 0; i < reads.size(); ++i) {
    // A value can only have shrunk between the two calls; anything else is a broken answer.
    if (query[i].ulValueLen > values[i].size()) return +TokenCode::kAttributeReadFailed;
    values[i].resize(query[i].ulValueLen);
  }
  for (std::size_t i = 0; i < reads.size(); ++i) *reads[i].value = std::move(values[i]);
  return +TokenCode::kTokenOk;
}

}  // namespace kestrune::token
