// A message signed through `kestrune script` on a token, then checked by
// `kestrune verify-edifact` against the holder's certificate bag; and an SHA-1 envelope signed
// by the openssl command, checked against a plain X.509 certificate.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ca/issuing.h"
#include "common/ptr.h"
#include "tests/host/host_runner.h"
#include "tests/host/openssl_tool.h"
#include "tests/host/token_modules.h"
#include "tests/support/softhsm.h"
#include "tests/support/test_files.h"

namespace kestrune::testing {
namespace {

using Json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kInvoice = "UNH+1+INVOIC:D:96A:UN'BGM+380+1'UNT+3+1'";

Bytes textWithZero(std::string_view text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

void writeText(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

// A Linkway token as makeCard leaves it, plus the holder's certificate bag in "EOICert" (so
// getCSN answers 1234567890); the bag is also written to the test's folder as DER and as
// Base64.
class EdifactHostTest : public ModuleHostTest {
 protected:
  void SetUp() override {
    ModuleHostTest::SetUp();
    if (IsSkipped()) return;
    TestToken& hsm = token();
    hsm.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
    const std::string application("Vornix-P11", 11);
    hsm.createData(0,
                   {.label = "EOISID1", .value = textWithZero("U001"), .application = application});
    hsm.createData(
        0, {.label = "EOISID2", .value = textWithZero("ORG01"), .application = application});

    const ca::KeyPtr authority = ca::generateRsaKey(1024);
    ASSERT_NE(nullptr, authority);
    const ca::KeyPtr impostor = ca::generateRsaKey(1024);
    ASSERT_NE(nullptr, impostor);
    ca::CertificateSpec own;
    own.serial = 1;
    own.issuer = own.subject = {"FEDI Test CA", "TESTCA1"};
    own.notBefore = ca::FediTime::utcText("240101000000Z");
    own.notAfter = ca::FediTime::utcText("999999999999Z");
    own.subjectKey = authority.get();
    caBag = dir() + "/ca.der";
    writeBag(caBag, ca::issueCertificate(own, authority.get()).get());
    own.subjectKey = impostor.get();
    impostorCaBag = dir() + "/impostor-ca.der";
    writeBag(impostorCaBag, ca::issueCertificate(own, impostor.get()).get());
    own.issuer = own.subject = {"Another CA", "OTHERCA"};
    otherCaBag = dir() + "/other-ca.der";
    writeBag(otherCaBag, ca::issueCertificate(own, impostor.get()).get());

    ca::CertificateSpec spec;
    spec.serial = 1234567890;
    spec.issuer = {"FEDI Test CA", "TESTCA1"};
    spec.subject = {"ORG01", "U001"};
    spec.notBefore = ca::FediTime::utcText("240101000000Z");
    spec.notAfter = ca::FediTime::utcText("999999999999Z");
    spec.subjectKey = ca::RsaPublicParts{hsm.attribute(0, "FEDICA.pubkey", CKA_MODULUS),
                                         hsm.attribute(0, "FEDICA.pubkey", CKA_PUBLIC_EXPONENT)};
    const ca::CertificatePtr certificate = ca::issueCertificate(spec, authority.get());
    ASSERT_NE(nullptr, certificate);
    // The same key certified for a time past, and for a time to come.
    spec.notAfter = ca::FediTime::utcText("250101000000Z");
    expiredBag = dir() + "/expired.der";
    writeBag(expiredBag, ca::issueCertificate(spec, authority.get()).get());
    spec.notBefore = ca::FediTime::utcText("491231000000Z");
    spec.notAfter = ca::FediTime::utcText("999999999999Z");
    waitingBag = dir() + "/waiting.der";
    writeBag(waitingBag, ca::issueCertificate(spec, authority.get()).get());
    FEDI_X509* const certificates[] = {certificate.get()};
    const ca::BagPtr bag = ca::makeBag(certificates);
    ASSERT_NE(nullptr, bag);
    const Bytes der = ca::toDer(*bag);
    ASSERT_FALSE(der.empty());
    Bytes stored = der;
    stored.push_back(0);
    hsm.createData(0, {.label = "EOICert", .value = stored, .application = application});

    derBag = dir() + "/bag.der";
    writeText(derBag, std::string_view(reinterpret_cast<const char*>(der.data()), der.size()));
    std::string base64(4 * ((der.size() + 2) / 3) + 1, '\0');
    base64.resize(
        static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()),
                                                 der.data(), static_cast<int>(der.size()))));
    base64Bag = dir() + "/bag.b64";
    writeText(base64Bag, base64 + "\n");
  }

  // signThroughScript returns the message that FEDIMessageSign gave in a script run.
  std::string signThroughScript(const std::string& message) {
    const std::string script = Json::array({"loadLib", module()}).dump() + "\n" +
                               Json::array({"checkPassword", kUserPin}).dump() + "\n" +
                               Json::array({"FEDIMessageSign", message}).dump() + "\n";
    const HostRun run = runHost({"script", "-"}, script);
    EXPECT_EQ(0, run.status) << run.err;
    const std::vector<std::string> answers = lines(run.out);
    if (answers.size() != 3) {
      ADD_FAILURE() << run.out;
      return {};
    }
    const Json answer = Json::parse(answers[2], nullptr, false);
    EXPECT_EQ(0, answer.value("lastError", -1)) << answers[2];
    const Json result = answer.value("result", Json());
    return result.is_string() ? result.get<std::string>() : std::string();
  }

  // writeBag writes a bag of the one certificate as DER.
  static void writeBag(const std::string& path, FEDI_X509* certificate) {
    ASSERT_NE(nullptr, certificate);
    FEDI_X509* const certificates[] = {certificate};
    const ca::BagPtr bag = ca::makeBag(certificates);
    ASSERT_NE(nullptr, bag);
    const Bytes der = ca::toDer(*bag);
    writeText(path, std::string_view(reinterpret_cast<const char*>(der.data()), der.size()));
  }

  std::string derBag;
  std::string base64Bag;
  std::string expiredBag;     // the holder's key, expired at the start of 2025
  std::string waitingBag;     // the holder's key, valid from the end of 2049
  std::string caBag;          // the authority that issued them
  std::string impostorCaBag;  // the authority's names with another key
  std::string otherCaBag;     // another authority
};

KESTRUNE_ON_EVERY_MODULE(EdifactHostTest);

TEST_P(EdifactHostTest, ASignedMessageVerifiesAndATamperedOneFails) {
  const std::string signedMessage = signThroughScript(kInvoice);
  ASSERT_EQ(0u, signedMessage.find("UNH+1+INVOIC:D:96A:UN'USH+94W+1+01+1+2+2+2+1++++1:"));
  const std::string file = dir() + "/invoice.edi";
  writeText(file, signedMessage);

  std::string tampered = signedMessage;
  tampered.replace(tampered.find("BGM+380+1"), 9, "BGM+381+1");
  const std::string tamperedFile = dir() + "/tampered.edi";
  writeText(tamperedFile, tampered);

  for (const std::string& bag : {derBag, base64Bag}) {
    SCOPED_TRACE(bag);
    const HostRun good = runHost({"verify-edifact", file, "--cert", bag});
    EXPECT_EQ(0, good.status) << good.err;
    EXPECT_EQ(std::vector<std::string>{"OK: MD5 signature of the signed range USH up to UST (111 "
                                       "bytes; UNH and UNT lie outside it) verified with the key "
                                       "of certificate serial 1234567890 (CN=U001, O=ORG01); "
                                       "UNT's count of 9 segments is right; the certificate "
                                       "itself (issuer, validity, revocation) was not checked"},
              lines(good.out));

    const HostRun bad = runHost({"verify-edifact", tamperedFile, "--cert", bag});
    EXPECT_EQ(1, bad.status) << bad.err;
    EXPECT_EQ(std::vector<std::string>{"FAILED: the MD5 signature does not match the 111 signed "
                                       "bytes (USH up to UST) and the signer's key"},
              lines(bad.out));
  }
}

// --ca checks the certificate too: issued by that authority, under its key, valid now.
TEST_P(EdifactHostTest, WithTheAuthorityTheCertificateIsCheckedToo) {
  const std::string file = dir() + "/invoice.edi";
  writeText(file, signThroughScript(kInvoice));
  const std::string signatureOk =
      "OK: MD5 signature of the signed range USH up to UST (111 bytes; UNH and UNT lie outside "
      "it) verified with the key of certificate serial 1234567890 (CN=U001, O=ORG01); UNT's "
      "count of 9 segments is right; ";
  const std::string refused = "FAILED: the signature verifies, but ";
  struct Case {
    std::string certificate;
    std::string authority;
    int status;
    std::string out;
  } const cases[] = {
      {derBag, caBag, 0,
       signatureOk + "the certificate was issued by the authority (CN=TESTCA1, O=FEDI Test CA, "
                     "its signature verified) and is valid now (from 2024-01-01 00:00:00Z until "
                     "never); its revocation was not checked"},
      {base64Bag, caBag, 0, ""},
      {derBag, impostorCaBag, 1,
       refused + "the certificate's signature does not verify with the key of the authority "
                 "(CN=TESTCA1, O=FEDI Test CA)"},
      {derBag, otherCaBag, 1,
       refused + "the certificate's issuer (CN=TESTCA1, O=FEDI Test CA) is not the authority "
                 "(CN=OTHERCA, O=Another CA)"},
      {expiredBag, caBag, 1, refused + "the certificate expired at 2025-01-01 00:00:00Z"},
      {waitingBag, caBag, 1, refused + "the certificate is valid from 2049-12-31 00:00:00Z only"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.certificate + " " + c.authority);
    const HostRun run =
        runHost({"verify-edifact", file, "--cert", c.certificate, "--ca", c.authority});
    EXPECT_EQ(c.status, run.status) << run.err;
    if (!c.out.empty()) {
      EXPECT_EQ(std::vector<std::string>{c.out}, lines(run.out));
    }
    EXPECT_EQ(0u, run.out.find(c.status == 0 ? "OK: MD5 signature" : "FAILED: ")) << run.out;
  }
  // The authority's bag is no certificate's, nor is a file that isn't a bag.
  for (const std::string& authority : {file, dir() + "/missing.der"}) {
    SCOPED_TRACE(authority);
    const HostRun run = runHost({"verify-edifact", file, "--cert", derBag, "--ca", authority});
    EXPECT_EQ(2, run.status) << run.out;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
}

TEST_P(EdifactHostTest, UsageErrorsExitWithTwo) {
  const std::string message = dir() + "/invoice.edi";
  writeText(message, kInvoice);
  const std::vector<std::string> cases[] = {
      {"verify-edifact"},
      {"verify-edifact", message},
      {"verify-edifact", "--cert", derBag},
      {"verify-edifact", dir() + "/missing.edi", "--cert", derBag},
      {"verify-edifact", message, "--cert", dir() + "/missing.der"},
      {"verify-edifact", message, "--cert", message},  // not a certificate bag
  };
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(args.size() > 1 ? args[1] : args[0]);
    const HostRun run = runHost(args);
    EXPECT_EQ(2, run.status) << run.out << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
  // A readable message without an envelope is no usage error.
  const HostRun run = runHost({"verify-edifact", message, "--cert", derBag});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(std::vector<std::string>{"FAILED: no USH segment after UNH"}, lines(run.out));
}

// signedWithOpenssl builds the envelope by hand around kInvoice's body, names SHA-1 in its USA
// segment and signs the range from USH up to UST with `openssl dgst -sha1 -sign`.
std::string signedWithOpenssl(const std::string& dir, const std::string& keyPem) {
  const std::string range =
      "USH+94W+1+01+1+2+2+2+1++++1:20240102:030405'USA+1:::8:1'"
      "USC+1234567890+3:::::ORG01:U001'USA+6:::10:1'BGM+380+1'";
  writeText(dir + "/range.txt", range);
  if (!runOpenssl("dgst -sha1 -sign '" + keyPem + "' -out '" + dir + "/range.sig' '" + dir +
                  "/range.txt'")) {
    ADD_FAILURE() << "openssl could not sign";
    return {};
  }
  std::string hex;
  for (const std::uint8_t byte : readFile(dir + "/range.sig")) {
    hex.push_back("0123456789ABCDEF"[byte >> 4]);
    hex.push_back("0123456789ABCDEF"[byte & 15]);
  }
  return "UNH+1+INVOIC:D:96A:UN'" + range + "UST+01'USR+" + hex + "'UNT+9+1'";
}

TEST(EdifactHostX509, AnSha1EnvelopeVerifiesWithAnX509CertificateDerOrPem) {
  TempDir dir;
  const SelfSigned signer = makeSelfSigned(dir.path(), "signer", "/CN=EDI Signer/O=ORG01");
  const SelfSigned stranger = makeSelfSigned(dir.path(), "stranger", "/CN=Someone Else");
  const std::string signedMessage = signedWithOpenssl(dir.path(), signer.keyPem);
  ASSERT_FALSE(signedMessage.empty());
  const std::string file = dir.path() + "/invoice.edi";
  writeText(file, signedMessage);
  std::string tampered = signedMessage;
  tampered.replace(tampered.find("BGM+380+1"), 9, "BGM+381+1");
  const std::string tamperedFile = dir.path() + "/tampered.edi";
  writeText(tamperedFile, tampered);

  const std::string signedBytes =
      std::to_string(signedMessage.find("UST+") - signedMessage.find("USH+"));
  // The certificate openssl made has a serial of its own: the line says the message names
  // another.
  const std::vector<std::uint8_t> der = readFile(signer.certDer);
  const unsigned char* position = der.data();
  const Ptr<X509> certificate(d2i_X509(nullptr, &position, static_cast<long>(der.size())));
  ASSERT_NE(nullptr, certificate);
  const Ptr<BIGNUM> serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate.get()), nullptr));
  const Ptr<char> serialText(BN_bn2dec(serial.get()));
  const std::string ok =
      "OK: SHA-1 signature of the signed range USH up to UST (" + signedBytes +
      " bytes; UNH and UNT lie outside it) verified with the key of certificate serial " +
      serialText.get() +
      " (O=ORG01, CN=EDI Signer); the message's USC names certificate serial 1234567890; UNT's "
      "count of 9 segments is right; the certificate itself (issuer, validity, revocation) was "
      "not checked";
  const std::string mismatch = "FAILED: the SHA-1 signature does not match the " + signedBytes +
                               " signed bytes (USH up to UST) and the signer's key";
  struct Case {
    std::string message;
    std::string certificate;
    int status;
    std::string out;
  } const cases[] = {
      {file, signer.certPem, 0, ok},
      {file, signer.certDer, 0, ok},
      {tamperedFile, signer.certDer, 1, mismatch},
      {file, stranger.certPem, 1, mismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.certificate + " " + c.message);
    const HostRun run = runHost({"verify-edifact", c.message, "--cert", c.certificate});
    EXPECT_EQ(c.status, run.status) << run.err;
    EXPECT_EQ(std::vector<std::string>{c.out}, lines(run.out));
  }

  // A key is no certificate.
  const HostRun run = runHost({"verify-edifact", file, "--cert", signer.keyPem});
  EXPECT_EQ(2, run.status);
  EXPECT_TRUE(run.out.empty()) << run.out;
  EXPECT_NE(std::string::npos, run.err.find("nor an X.509 certificate")) << run.err;
}

}  // namespace
}  // namespace kestrune::testing
