// The control's reading of the authority's answers: the codes of a failed exchange, and the
// check that an answer is the one the request expects.
#include <string>

#include "FEDIX509/fedi_ca_client.h"
#include "FEDIX509/fedi_message.h"
#include "control/ca_internal.h"
#include "control/control_internal.h"
#include "platform/platform.h"

namespace kestrune {
namespace {

constexpr std::string_view kStatusCaption = "On-Line error";

// statusMessage is "%d\n%s" of the status number and text; the text, an OCTET STRING, is
// shown as a C text would be, up to its first zero byte.
std::string statusMessage(const FEDI_STATUS& status) {
  std::string message = std::to_string(status.value);
  message += '\n';
  if (status.text != nullptr) {
    const auto* bytes = reinterpret_cast<const char*>(ASN1_STRING_get0_data(status.text));
    const std::string_view text(bytes, static_cast<std::size_t>(ASN1_STRING_length(status.text)));
    message += text.substr(0, text.find('\0'));
  }
  return message;
}

}  // namespace

std::int32_t control::mapExchangeError(int code) {
  switch (code) {
    case NET_NO_MEMORY:
      return +ControlCode::kNoMemory;
    case CA_ENCODE_FAILED:
    case CA_DECODE_FAILED:
      return +ControlCode::kEncodeFailed;
    case FEDI_MSG_NO_CODER:
      return +ControlCode::kBadText;
    case NET_CALL_FAILED:
      return +ControlCode::kCaExchange11;
    case NET_STATUS_NOT_OK:
      return +ControlCode::kCaExchange12;
    case CA_ANSWER_MISMATCH:
      return +ControlCode::kCaExchange13;
    default:
      return code;
  }
}

std::int32_t control::checkCaAnswer(ControlState& state, const FEDI_MESSAGE* answer,
                                    int expectedType, void** content) {
  *content = nullptr;
  if (answer == nullptr) return +ControlCode::kMalformedArgument;
  const FEDI_CONTENT* holder = answer->content;
  const int type = holder != nullptr ? holder->type : FEDI_CONTENT_NONE;
  void* record = holder != nullptr ? holder->record : nullptr;
  if (record == nullptr) return +ControlCode::kUnexpectedAnswer;
  if (type == expectedType) {
    *content = record;
    return +ControlCode::kOk;
  }
  if (type != FEDI_CT_STATUS) return +ControlCode::kUnexpectedAnswer;

  const auto& status = *static_cast<const FEDI_STATUS*>(record);
  if (state.showDebug == 1) platform::messageBox(statusMessage(status), kStatusCaption);
  // The status number is the authority's; the sum wraps as a 32-bit sum rather than overflow.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(+ControlCode::kUnexpectedAnswer) +
                                   static_cast<std::uint32_t>(status.value));
}

}  // namespace kestrune
