// The authority's output read by the openssl command: a holder certificate's signature checked
// with the authority's public key, the revocation list parsed and verified against a standard
// certificate for the authority's key, and the answer messages parsed as DER.
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fstream>
#include <sstream>

#include "FEDIX509/builtin_ca_records.h"
#include "common/ptr.h"
#include "server_fixture.h"
#include "tests/control/control_test_support.h"
#include "test_authority.h"

namespace kestrune::ca::test {
namespace {

using kestrune::testing::CommandResult;
using kestrune::testing::runCommand;

void writeBytes(const std::string& path, const unsigned char* data, std::size_t size) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

template <class T>
void writeDer(const std::string& path, int (*i2d)(const T*, unsigned char**), const T* record) {
  unsigned char* der = nullptr;
  const int length = i2d(record, &der);
  ASSERT_GT(length, 0);
  writeBytes(path, der, static_cast<std::size_t>(length));
  OPENSSL_free(der);
}

template <class T>
void writePem(const std::string& path, int (*write)(BIO*, const T*), const T* object) {
  BIO* bio = BIO_new_file(path.c_str(), "w");
  ASSERT_NE(nullptr, bio);
  EXPECT_EQ(1, write(bio, object));
  BIO_free(bio);
}

// standardAuthorityCertificate: an ordinary X.509 certificate for the test authority's key and
// name, so that the openssl command can take the authority as a trust anchor.
Ptr<X509> standardAuthorityCertificate() {
  Ptr<X509> cert(X509_new());
  X509_NAME* name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(fedi::kTestCasid2), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(fedi::kTestCasid1), -1, -1, 0);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_set_subject_name(cert.get(), name);
  X509_set_issuer_name(cert.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), testCaKey());
  EXPECT_GT(X509_sign(cert.get(), testCaKey(), EVP_sha256()), 0);
  X509_NAME_free(name);
  return cert;
}

class OpensslCrossCheck : public AuthorityTest {};

TEST_F(OpensslCrossCheck, HolderCertificateSignatureVerifiesWithTheAuthoritysPublicKey) {
  const KeyPtr key = generateRsaKey(1024);
  const CertificatePtr certificate = issue(key.get(), "U001", "ORG01");
  ASSERT_NE(nullptr, certificate);
  writeDer(dir_.file("body.der"), &i2d_FEDI_X509_CINF, certificate->cert_info);
  const ASN1_BIT_STRING* signature = nullptr;
  FEDI_X509_get0_signature(&signature, nullptr, certificate.get());
  writeBytes(dir_.file("signature.bin"), signature->data,
             static_cast<std::size_t>(signature->length));
  writePem(dir_.file("authority.pub.pem"), &PEM_write_bio_PUBKEY, testCaRecordKey());

  const CommandResult verified =
      runCommand("openssl dgst -md5 -verify " + dir_.file("authority.pub.pem") + " -signature " +
                 dir_.file("signature.bin") + " " + dir_.file("body.der"));
  EXPECT_EQ(0, verified.status) << verified.out;
  EXPECT_NE(std::string::npos, verified.out.find("Verified OK")) << verified.out;

  // A byte of the body changed: the command refuses it.
  std::ifstream in(dir_.file("body.der"), std::ios::binary);
  std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  body[body.size() / 2] ^= 0x01;
  writeBytes(dir_.file("body.der"), reinterpret_cast<const unsigned char*>(body.data()),
             body.size());
  EXPECT_NE(0, runCommand("openssl dgst -md5 -verify " + dir_.file("authority.pub.pem") +
                          " -signature " + dir_.file("signature.bin") + " " + dir_.file("body.der"))
                   .status);
}

TEST_F(OpensslCrossCheck, RevocationListParsesAndVerifiesAgainstTheAuthority) {
  const KeyPtr key = generateRsaKey(1024);
  const CertificatePtr certificate = issue(key.get(), "U001", "ORG01");
  ASSERT_NE(nullptr, certificate);
  const Exchange revoked =
      send(FEDI_CT_REV_REQ, revocationRequest(certificate.get(), key.get()).get());
  ASSERT_NE(nullptr, revoked.crl()) << "refusal " << revoked.status();
  writeDer(dir_.file("crl.der"), &i2d_X509_CRL, revoked.crl()->crl);
  auto standard = standardAuthorityCertificate();
  writePem(dir_.file("authority.pem"), &PEM_write_bio_X509, standard.get());

  const CommandResult text =
      runCommand("openssl crl -inform DER -in " + dir_.file("crl.der") + " -noout -text");
  EXPECT_EQ(0, text.status) << text.out;
  std::ostringstream serial;
  serial << "Serial Number: " << std::uppercase << std::hex;
  serial.width(2);
  serial.fill('0');
  serial << serialOf(certificate.get());
  EXPECT_NE(std::string::npos, text.out.find(serial.str())) << text.out;
  EXPECT_NE(std::string::npos,
            text.out.find("Issuer: O = FEDI Test Certification CA, CN = TESTCA1"))
      << text.out;
  EXPECT_NE(std::string::npos, text.out.find("md5WithRSAEncryption")) << text.out;
  EXPECT_NE(std::string::npos, text.out.find("Next Update")) << text.out;

  const CommandResult verified = runCommand("openssl crl -inform DER -in " + dir_.file("crl.der") +
                                            " -CAfile " + dir_.file("authority.pem") + " -noout");
  EXPECT_EQ(0, verified.status) << verified.out;
  EXPECT_NE(std::string::npos, verified.out.find("verify OK")) << verified.out;
}

TEST_F(OpensslCrossCheck, AnswerMessagesAreWellFormedDer) {
  const KeyPtr key = generateRsaKey(1024);
  auto request = newRequest(key.get(), "U001", "ORG01", enrol("U001", "ORG01"));
  const Exchange answers[] = {
      send(FEDI_CT_NEW_CERT_REQ, request.get()),
      send(FEDI_CT_CCHN_REQ, identifierQuery("U001", "ORG01").get()),
      send(FEDI_CT_GET_CRL, revocationListQuery().get()),
      send(FEDI_CT_CCHN_REQ, identifierQuery("NOBODY", "ORG01").get()),
  };
  for (const Exchange& answer : answers) {
    ASSERT_FALSE(answer.body.empty());
    writeBytes(dir_.file("answer.der"), answer.body.data(), answer.body.size());
    const CommandResult parsed =
        runCommand("openssl asn1parse -inform DER -in " + dir_.file("answer.der"));
    EXPECT_EQ(0, parsed.status) << parsed.out;
    EXPECT_EQ(std::string::npos, parsed.out.find("rror")) << parsed.out;
  }
}

}  // namespace
}  // namespace kestrune::ca::test
