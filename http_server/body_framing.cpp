#include <cctype>
#include <charconv>

#include "http_server/guarded_server.h"

namespace kestrune::http {
namespace {

bool equalsIgnoringCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return i == a.size() && b[i] == '\0';
}

BodyFraming refused(int status) {
  BodyFraming framing;
  framing.refusal = status;
  return framing;
}

}  // namespace

BodyFraming bodyFraming(const httplib::Request& request, std::size_t maxBody) {
  // A compressed body could grow a thousandfold past the body bound once decoded, and no
  // client of these servers sends one.
  if (const std::size_t codings = request.get_header_value_count("Content-Encoding"); codings > 0) {
    if (codings > 1 ||
        !equalsIgnoringCase(request.get_header_value("Content-Encoding"), "identity")) {
      return refused(415);
    }
  }
  const std::size_t transfers = request.get_header_value_count("Transfer-Encoding");
  const std::size_t lengths = request.get_header_value_count("Content-Length");
  // Two framings of one body are how requests are smuggled past a proxy: never guess.
  if (transfers > 1 || lengths > 1 || (transfers == 1 && lengths == 1)) return refused(400);
  BodyFraming framing;
  if (transfers == 1) {
    if (!equalsIgnoringCase(request.get_header_value("Transfer-Encoding"), "chunked")) {
      return refused(501);
    }
    framing.chunked = true;
    return framing;
  }
  if (lengths == 0) return framing;
  const std::string text = request.get_header_value("Content-Length");
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), framing.length);
  if (text.empty() || error == std::errc::invalid_argument || end != text.data() + text.size()) {
    return refused(400);
  }
  if (error == std::errc::result_out_of_range || framing.length > maxBody) return refused(413);
  return framing;
}

}  // namespace kestrune::http
