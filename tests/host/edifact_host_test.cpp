// A message signed through `kestrune script` on a token, then checked by
// `kestrune verify-edifact` against the holder's certificate bag; and an SHA-1 envelope signed
// by the openssl command, checked against a plain X.509 certificate.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ca/issuing.h"
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

  std::string derBag;
  std::string base64Bag;
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
    EXPECT_EQ(std::vector<std::string>{"OK: MD5 signature of 111 bytes by 1234567890 verified; "
                                       "9 segments"},
              lines(good.out));

    const HostRun bad = runHost({"verify-edifact", tamperedFile, "--cert", bag});
    EXPECT_EQ(1, bad.status) << bad.err;
    EXPECT_EQ(std::vector<std::string>{"FAILED: the MD5 signature does not match the 111 signed "
                                       "bytes (USH up to UST) and the signer's key"},
              lines(bad.out));
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
  const std::string ok =
      "OK: SHA-1 signature of " + signedBytes + " bytes by 1234567890 verified; 9 segments";
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
