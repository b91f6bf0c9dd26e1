// kestrune verify-edifact: checks a signed EDIFACT message against the signer's certificate.
#pragma once

#include <ostream>
#include <string>

namespace kestrune::host {

// runVerifyEdifact verifies the message in messageFile (its bytes as signed: code page 950)
// with the signer's certificate in certificateFile: the first certificate of a FEDI bag (DER,
// or the control's Base64 of it), else an X.509 certificate (DER or PEM). It prints "OK: what
// was verified" on out and returns 0, or "FAILED: why" and returns 1. A file that can't be
// read, or a certificate file that is neither, is a usage error: a line on err and 2.
// The OK line says what the signature covers and what was left unchecked. With authorityFile
// (the authority's FEDI certificate bag, DER or Base64), a FEDI certificate must also name the
// authority as its issuer, carry its signature and be valid now, else "FAILED: ..." and 1.
int runVerifyEdifact(const std::string& messageFile, const std::string& certificateFile,
                     const std::string& authorityFile, std::ostream& out, std::ostream& err);

}  // namespace kestrune::host
