#include "control/error_text.h"

#include "TVCAPI/tvcapi.h"
#include "ca/refusals.h"
#include "control/control_codes.h"
#include "platform/network_errors.h"

namespace kestrune {

std::string errorCodeText(std::int32_t code) {
  if (code > +ControlCode::kUnexpectedAnswer && code < +ControlCode::kCaExchange11) {
    const int status = code - +ControlCode::kUnexpectedAnswer;
    const std::string_view refusal = ca::refusalText(status);
    return "the authority refused the request (status " + std::to_string(status) +
           (refusal.empty() ? ")" : ": " + std::string(refusal) + ")");
  }
  if (const std::string_view text = controlCodeText(static_cast<ControlCode>(code)); !text.empty())
    return std::string(text);
  if (code > 0) {
    if (const char* text = TVXCAPI_CodeText(code); text != nullptr)
      return "CryptoAPI layer: " + std::string(text);
    const std::string_view network = platform::networkErrorText(static_cast<std::uint32_t>(code));
    if (!network.empty()) return "network: " + std::string(network);
  }
  return {};
}

}  // namespace kestrune
