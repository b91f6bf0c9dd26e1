// The two built-in CA public-key records (FEDI_CAPUBKEY, DER in Base64): the production
// authority's and the test authority's. The control decodes the selected one on first need.
#pragma once

namespace kestrune::fedi {

// builtinCaRecordText returns the Base64 text of the test (true) or production (false) record,
// in lines of 64 characters each ended by a line feed. The text is static.
const char* builtinCaRecordText(bool test) noexcept;

// Identifiers of the test authority, as its record's name and its certificates' issuer carry
// them: CASID2 is the O entry (entry 0), CASID1 the CN entry (entry 1).
inline constexpr const char* kTestCasid1 = "TESTCA1";
inline constexpr const char* kTestCasid2 = "FEDI Test Certification CA";

}  // namespace kestrune::fedi
