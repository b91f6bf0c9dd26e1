// The built-in CA public-key records.
//
// The PRODUCTION record below is a placeholder: it carries a key made for development whose
// private half was not kept. A deployment replaces its text with the real authority's record
// (the same layout: 264 DER bytes for a 1024-bit key and the same name lengths).
// The TEST record carries the public half of tests/data/test_ca_key.pem, the key the test
// authority signs with.
#include "FEDIX509/builtin_ca_records.h"

namespace kestrune::fedi {
namespace {

// O "FEDI Certification Authority", CN "PRODCA-01".
constexpr const char* kProductionRecord =
    "MIIBBDCB8BMIQ2FQcklwVWICAQAwBQYBAAUAMDsxJTAjBgNVBAoTHEZFREkgQ2Vy\n"
    "dGlmaWNhdGlvbiBBdXRob3JpdHkxEjAQBgNVBAMTCVBST0RDQS0wMRcROTYxMTIy\n"
    "MDAwMDAwKzA4MDAwgYkCgYEAorPkiKmL+Y48inaGEZj+++fByvcekTKbMvSEPU1+\n"
    "YOv+T/qNV+9Hs9QkPyjEQmDTD7o8/uKRspytJu7dR4wUYlUlnQtON6gGSQXYdfO8\n"
    "3Dhzgqj9JYF1a8aP7WKlfr48gQ2yhb6XU1g9qW45KluT+daq/eTeLyJVfi89h1dT\n"
    "NgMCAwEAATAFBgEABQAECFBST0RDQTAx\n";

// O "FEDI Test Certification CA", CN "TESTCA1".
constexpr const char* kTestRecord =
    "MIIBADCB7BMIQ2FQcklwVWICAQAwBQYBAAUAMDcxIzAhBgNVBAoTGkZFREkgVGVz\n"
    "dCBDZXJ0aWZpY2F0aW9uIENBMRAwDgYDVQQDEwdURVNUQ0ExFxE5NjExMjIwMDAw\n"
    "MDArMDgwMDCBiQKBgQDv2/+c9t9yrBivWGONt7KPBWopPGIQS1X8LaLMdMsSl0t/\n"
    "1r+FOKB0n8f84yaCthhpe5R9OOBa/AP0M/iY9gcLk25WI7KlE5F4V+foHrAyA3HD\n"
    "DInLWPUOiwPTVWWdMzcJxNF2JwQNxLuHV7gJWBahCTF9vkRYHb6KngjMit9JgwID\n"
    "AQABMAUGAQAFAAQIVEVTVENBMDE=\n";

}  // namespace

const char* builtinCaRecordText(bool test) noexcept {
  return test ? kTestRecord : kProductionRecord;
}

}  // namespace kestrune::fedi
