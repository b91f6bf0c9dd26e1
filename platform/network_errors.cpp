#include "platform/network_errors.h"

namespace kestrune::platform {

std::string_view networkErrorText(std::uint32_t code) {
  switch (code) {
    case kErrorTimeout:
      return "the authority did not answer in time";
    case kErrorInternal:
      return "the HTTP layer failed";
    case kErrorInvalidUrl:
      return "the authority's URL is not valid";
    case kErrorUnrecognizedScheme:
      return "the authority's URL has a scheme other than http or https";
    case kErrorNameNotResolved:
      return "the authority's host name could not be resolved";
    case kErrorCannotConnect:
      return "the authority could not be reached (connection refused or unreachable)";
    case kErrorConnectionAborted:
      return "the connection to the authority was aborted";
    case kErrorConnectionReset:
      return "the authority reset the connection";
    case kErrorInvalidCa:
      return "the authority's TLS certificate is not from a trusted issuer";
    case kErrorInvalidServerResponse:
      return "the authority's answer is not valid HTTP";
    case kErrorSecureFailure:
      return "the secure connection to the authority failed";
    default:
      break;
  }
  if (code >= kFirstNetworkError && code <= kLastNetworkError)
    return "the request to the authority failed in the network layer";
  return {};
}

}  // namespace kestrune::platform
