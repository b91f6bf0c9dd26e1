// The test authority and a holder, for every test that needs a FEDI certificate: the test
// authority's key pair (tests/data/test_ca_key.pem; its public half is the built-in test CA
// record) and a complete certificate spec for a holder key.
#pragma once

#include <openssl/evp.h>

#include <string>

#include "ca/issuing.h"

namespace kestrune::ca::test {

// testDataPath returns the path of a file in tests/data.
std::string testDataPath(const char* name);

// testCaKey returns the test authority's private key, loaded once per process (null if the
// file is missing). The process keeps ownership.
EVP_PKEY* testCaKey();
// testCaRecordKey returns the public key of the built-in test CA record, decoded once per
// process. The process keeps ownership.
EVP_PKEY* testCaRecordKey();
// holderKey returns a 1024-bit RSA key pair made once per process.
EVP_PKEY* holderKey();

// holderSpec returns a spec the test authority can issue as it is: issuer O kTestCasid2, CN
// kTestCasid1; subject O "12345678", CN "TESTUSER01"; serial 0x1234567; valid from
// 961122000000+0800 and never expiring (999999999999Z); the holder key.
CertificateSpec holderSpec();
// authoritySpec returns the test authority's own certificate, as it signs it with testCaKey():
// serial 1, issuer and subject O kTestCasid2, CN kTestCasid1, valid from 961122000000+0800 and
// never expiring, testCaKey() as its key.
CertificateSpec authoritySpec();

}  // namespace kestrune::ca::test
