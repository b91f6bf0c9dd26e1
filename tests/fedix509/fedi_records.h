// FEDI records for the tests, written as raw DER and signed with plain EVP calls, so that the
// coders and FEDI_X509_verify are checked against an encoding they did not produce.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>

#include "common/ptr.h"
#include "fedi_der.h"

namespace kestrune::fedi::test {

using PkeyPtr = Ptr<EVP_PKEY>;

// The test authority's key (tests/data/test_ca_key.pem).
EVP_PKEY* testCaKey();
// A holder key, made once per process.
EVP_PKEY* holderKey();
std::string testDataPath(const char* name);

// OIDs, DER-encoded with their tag.
Bytes md5WithRsaOid();
Bytes rsaEncryptionOid();
Bytes algorithm(const Bytes& oid);  // SEQUENCE { oid, NULL }

// Name ::= SEQUENCE { SET { SEQUENCE { O, value } }, SET { SEQUENCE { CN, value } } }, the
// values as strings of stringTag.
Bytes name(std::string_view organization, std::string_view commonName,
           std::uint8_t stringTag = 0x13);
// PKCS#1 RSAPublicKey of key.
Bytes rsaPublicKey(EVP_PKEY* key);
// SubjectPublicKeyInfo naming keyAlgorithm.
Bytes subjectPublicKeyInfo(const Bytes& keyAlgorithm, EVP_PKEY* key);

struct BodyFields {
  Bytes version = integer(2);
  Bytes serial = integer(0x1234567);
  Bytes signature = algorithm(md5WithRsaOid());
  Bytes issuer = name("FEDI Test Certification CA", "TESTCA1");
  Bytes validity = seq({utcTime("961122000000+0800"), utcTime("999999999999Z")});
  Bytes subject = name("12345678", "TESTUSER01");
  Bytes key;       // defaults to the holder key under md5WithRSAEncryption
  Bytes trailing;  // fields after the key (unique ids, extensions)
};

Bytes body(const BodyFields& fields);
// signedCertificate signs body with md5WithRSAEncryption through EVP and wraps it.
Bytes signedCertificate(const Bytes& body, EVP_PKEY* signer);
Bytes certificate(const BodyFields& fields = {});
// A bag: tag, version 0, type 1, time, count, SEQUENCE OF the certificates.
Bytes bag(std::initializer_list<Bytes> certificates, const Bytes& tag = tlv(0x13, text("CeRtIfIc")),
          const Bytes& time = utcTime("961122000000+0800"));

}  // namespace kestrune::fedi::test
