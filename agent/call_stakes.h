// What is at stake in a call, for the consent question: what would be signed, sent or stored,
// in a few words the user can check against what the page shows.
#pragma once

#include <span>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "com/method_table.h"

namespace kestrune::agent {

// callStakes returns the stakes of a call of method with args (the call's arguments, as the
// page sent them), parts joined by ", "; empty when there is nothing to add:
//   FEDIMessageSign*  "message INVOIC, reference 42, 1234 bytes" (from the UNH segment)
//   sign              "a text of 3 bytes, SHA-256 begins ba7816bf8f01cfea" (the UTF-8 bytes)
//   signB64           "data of 3 bytes, SHA-256 begins ba7816bf8f01cfea" (the decoded bytes)
//   signHash          "the hash 900150983cd24fb0d6963f7d28e17f72"
//   a URL's call      "the authority at ca.example:8443" (the caUrl's host and port)
//   makeRequestCert   "a request for a new certificate" (or a renewal, a revocation)
//   a file's call     "file cert.der"
// A part that can't be read says so ("a text of 9 bytes without a UNH segment"). Everything
// the page wrote is made printable and bounded; no secret parameter (a PIN, a pass phrase, a
// revocation reason) is read. Arguments missing or of the wrong type add nothing.
std::string callStakes(const com::Method& method, std::span<const nlohmann::ordered_json> args);

}  // namespace kestrune::agent
