// One FEDI message in, one answer out: the body of a POST to the message URL is decoded as a
// FEDI_MESSAGE, its request answered by the handler of its content type, and the answer sent
// back as a FEDI_MESSAGE whose digest field echoes the request's bytes. A body that is not even
// a DER SEQUENCE gets HTTP 400; any other failure a status record (999) with a refusal number.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ca/answers.h"
#include "ca/authority_context.h"

namespace kestrune::ca {

inline constexpr const char* kAnswerContentType = "application/fedi-certification";
// The agent field of every answer.
inline constexpr const char* kAuthorityAgent = "Kestrune/FEDI-CA/V1.00";

struct HttpAnswer {
  int status = 200;
  std::string contentType;
  std::vector<std::uint8_t> body;
  RequestNote note;         // for the log line
  int refusal = 0;          // the refusal number of a status answer, 0 otherwise
  std::string refusalText;  // and its text
};

// answerMessage never throws; memory exhaustion gives HTTP 500.
HttpAnswer answerMessage(const AuthorityContext& context,
                         std::span<const std::uint8_t> body) noexcept;

// What a body that d2i_FEDI_MESSAGE refuses is.
enum class UndecodableBody {
  notAMessage,         // not a DER SEQUENCE spanning the whole body
  unknownContentType,  // a message whose content tag names no content type with a coder
  malformed,           // a message with a malformed field or record
};

// classifyUndecodable reads only headers, each within the bytes that remain.
UndecodableBody classifyUndecodable(std::span<const std::uint8_t> body) noexcept;

}  // namespace kestrune::ca
