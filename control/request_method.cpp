// makeRequestCert: a new-certificate, extension or revocation request written to a file.
#include "control/control_internal.h"
#include "control/request_internal.h"
#include "control/secret_text.h"

namespace kestrune {
namespace {

constexpr std::size_t kTextBuffer = 1024;

enum RequestType : std::int32_t {
  kNewRequest = 1,
  kExtendRequest = 2,
  kRevokeRequest = 3,
};

}  // namespace

std::int32_t TVFEDIMiniKeyCrypt::makeRequestCert(std::int32_t reqType, std::u16string_view outFile,
                                                 std::u16string_view OptionalData) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    if (pinVerified() == 0) return +ControlCode::kPinNotVerified;
    const auto path = control::toAnsiBuffer(*this, outFile, kTextBuffer);
    if (!path) return lastErrorCode;  // 502, or 2 when memory runs out
    // Optional data that can't be converted counts as empty: an empty pass phrase or reason.
    // It is the pass phrase for a new-certificate request, and handled as one for every type.
    control::SecretText optional;
    control::secretText(OptionalData, optional, kTextBuffer);

    std::vector<std::uint8_t> der;
    std::int32_t code = +ControlCode::kNotCompleted;
    switch (reqType) {
      case kNewRequest:
        code = control::buildNewRequest(*this, optional.c_str(), der);
        break;
      case kExtendRequest:
        code = control::buildExtendRequest(*this, der);
        break;
      case kRevokeRequest:
        code = control::buildRevokeRequest(*this, optional.c_str(), der);
        break;
      default:
        return +ControlCode::kNotCompleted;
    }
    if (code != +ControlCode::kOk) return code;
    return control::writeWholeFile(path->c_str(), der);
  });
}

}  // namespace kestrune
