// kestrune verify-edifact: checks a signed EDIFACT message against the signer's certificate.
#pragma once

#include <ostream>
#include <string>

namespace kestrune::host {

// runVerifyEdifact verifies the message in messageFile (its bytes as signed: code page 950)
// with the first certificate of the bag in bagFile (DER, or the control's Base64 of it). It
// prints "OK: what was verified" on out and returns 0, or "FAILED: why" and returns 1. A
// file that can't be read, or a bag that doesn't decode, is a usage error: a line on err
// and 2.
int runVerifyEdifact(const std::string& messageFile, const std::string& bagFile, std::ostream& out,
                     std::ostream& err);

}  // namespace kestrune::host
