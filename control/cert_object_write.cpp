// Writing a certificate to the token: delete then create, since creation never overwrites,
// with the deleted object put back when its replacement can't be created.
#include <optional>

#include "control/cert_internal.h"
#include "control/control_codes.h"

namespace kestrune::control {

std::int32_t writeCertificateObject(token::TokenSession* session, std::string_view label,
                                    std::span<const std::uint8_t> value, bool replaceExisting) {
  std::optional<token::DataObjectCopy> previous;
  if (replaceExisting) {
    // Without a copy nothing is deleted: a failed creation could not be undone.
    token::DataObjectCopy copy;
    if (token::p11_ReadDataObjectCopy(session, label, copy) != +token::TokenCode::kTokenOk) {
      return +ControlCode::kReadFailed;
    }
    if (token::p11_DestroyObject(session, label) != +token::TokenCode::kTokenOk)
      return +ControlCode::kDeleteFailed;
    previous = std::move(copy);
  }
  if (token::p11_CreateDataObject(session, label, value) == +token::TokenCode::kTokenOk)
    return +ControlCode::kOk;

  // The code is decided by the creation's own CK_RV, before the restore makes calls of its own.
  const std::int32_t code = token::p11_GetLastRV() == CKR_DEVICE_MEMORY
                                ? +ControlCode::kTokenMemoryFull
                                : +ControlCode::kWriteFailed;
  if (previous) token::p11_RestoreDataObject(session, label, *previous);
  return code;
}

}  // namespace kestrune::control
