// makeRequestCert: the request files decode, their token signatures verify with OpenSSL
// against the token's public key (and, for the PKCS#10 part, with the openssl tool), a new
// request's MAC verifies under its pass phrase, a revocation without a reason says "Revoke", and
// the failures give their codes.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "FEDIX509/builtin_ca_records.h"
#include "FEDIX509/fedi_req.h"
#include "common/ptr.h"
#include "control/request_builders.h"
#include "tests/control/cert_fixture.h"
#include "tests/control/control_test_access.h"
#include "tests/control/control_test_support.h"
#include "tests/control/identity_layouts.h"
#include "tests/control/request_test_support.h"

namespace kestrune::testing {
namespace {

using fedi::RequestPtr;

std::string entryText(X509_NAME* name, int index, int* type) {
  const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
  *type = ASN1_STRING_type(data);
  return {reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
          static_cast<std::size_t>(ASN1_STRING_length(data))};
}

bool exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

// The certificate token, logged in, with the public key at hand.
class RequestCertTest : public CertTokenTest {
 protected:
  void SetUp() override {
    CertTokenTest::SetUp();
    publicKey_ = tokenPublicKey(hsm, "FEDICA.pubkey");
    ASSERT_NE(nullptr, publicKey_);
  }

  void writeIdentifiers() {
    ASSERT_EQ(+ControlCode::kOk, control.setSID(u"TESTUSER01", u"12345678"));
  }

  // storeCertificate puts a current certificate for the token's key on the token.
  void storeCertificate() {
    loadCa();
    ASSERT_EQ(+ControlCode::kOk,
              control.loadCertB64(u16(base64(tokenCertBag(kNow - 86400, kNow + 86400)))));
  }

  std::string path(const char* name) const { return hsm.dir() + "/" + name; }

  KeyPtr publicKey_;
};

TEST_F(RequestCertTest, NewRequestIsSignedByTheTokenAndMacedUnderThePassPhrase) {
  writeIdentifiers();
  const std::string file = path("new.req");
  ASSERT_EQ(+ControlCode::kOk, control.makeRequestCert(1, u16(file), u"secret"));
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());

  const Bytes der = readFile(file);
  auto request = decodeRecord(&d2i_FEDIREQ, der);
  ASSERT_NE(nullptr, request);
  EXPECT_EQ(der, encodeRecord(&i2d_FEDIREQ, request.get()));
  EXPECT_EQ(1, X509_REQ_verify(request->request, publicKey_.get()));
  EXPECT_EQ(1, FEDIREQ_verify(request.get(), bytes("secret"), 6));
  EXPECT_EQ(0, FEDIREQ_verify(request.get(), bytes("secreT"), 6));
  EXPECT_EQ(0, X509_REQ_get_version(request->request));

  // The subject is O = SID2, then CN = SID1, both PrintableStrings.
  X509_NAME* subject = X509_REQ_get_subject_name(request->request);
  ASSERT_EQ(2, X509_NAME_entry_count(subject));
  EXPECT_EQ(NID_organizationName,
            OBJ_obj2nid(X509_NAME_ENTRY_get_object(X509_NAME_get_entry(subject, 0))));
  EXPECT_EQ(NID_commonName,
            OBJ_obj2nid(X509_NAME_ENTRY_get_object(X509_NAME_get_entry(subject, 1))));
  int type = 0;
  EXPECT_EQ("12345678", entryText(subject, 0, &type));
  EXPECT_EQ(V_ASN1_PRINTABLESTRING, type);
  EXPECT_EQ("TESTUSER01", entryText(subject, 1, &type));
  EXPECT_EQ(V_ASN1_PRINTABLESTRING, type);

  // The key in the request is the token's own key.
  Ptr<EVP_PKEY> key(FEDIREQ_get_pubkey(request.get()));
  ASSERT_NE(nullptr, key);
  EXPECT_EQ(1, EVP_PKEY_eq(key.get(), publicKey_.get()));
}

// Element is one DER element: its whole encoding and its contents.
struct Element {
  Bytes whole;
  Bytes contents;
};

// elementsOf returns the elements inside a constructed DER value, in order; none when the value
// or an element is malformed.
std::vector<Element> elementsOf(const Bytes& der) {
  const unsigned char* pos = der.data();
  long length = 0;
  int tag = 0;
  int tagClass = 0;
  if (ASN1_get_object(&pos, &length, &tag, &tagClass, static_cast<long>(der.size())) !=
      V_ASN1_CONSTRUCTED) {
    return {};
  }
  const unsigned char* const end = pos + length;
  std::vector<Element> elements;
  while (pos < end) {
    const unsigned char* const start = pos;
    if ((ASN1_get_object(&pos, &length, &tag, &tagClass, end - pos) & 0x80) != 0) return {};
    elements.push_back({Bytes(start, pos + length), Bytes(pos, pos + length)});
    pos += length;
  }
  return elements;
}

// The openssl tool, which we did not write, reads the PKCS#10 part of a new request and checks
// its self-signature. `openssl req -verify` can't make the check itself: it refuses a key whose
// algorithm is md5WithRSAEncryption, as FEDI writes it, instead of rsaEncryption. So the tool
// is given the pieces that check needs, cut out of the file as written: the signed body, the
// signature, and the key of the request's own key info.
TEST_F(RequestCertTest, OpenSslToolVerifiesTheCertificationRequest) {
  writeIdentifiers();
  const std::string file = path("new.req");
  ASSERT_EQ(+ControlCode::kOk, control.makeRequestCert(1, u16(file), u"secret"));
  const std::vector<Element> record = elementsOf(readFile(file));
  ASSERT_EQ(5u, record.size());
  const std::string pkcs10File = path("new.p10");
  writeFile(pkcs10File, record[2].whole);

  const CommandResult subject =
      runCommand("openssl req -inform DER -in '" + pkcs10File + "' -noout -subject");
  EXPECT_EQ(0, subject.status) << subject.out;
  EXPECT_NE(std::string::npos, subject.out.find("O = 12345678, CN = TESTUSER01")) << subject.out;
  const CommandResult parsed = runCommand("openssl asn1parse -inform DER -in '" + pkcs10File + "'");
  EXPECT_EQ(0, parsed.status) << parsed.out;
  EXPECT_NE(std::string::npos, parsed.out.find("md5WithRSAEncryption")) << parsed.out;
  EXPECT_EQ(std::string::npos, parsed.out.find("cont [ 0 ]")) << parsed.out;

  // CertificationRequest { info { version, subject, key info }, algorithm, signature }.
  const std::vector<Element> request = elementsOf(record[2].whole);
  ASSERT_EQ(3u, request.size());
  const std::vector<Element> info = elementsOf(request[0].whole);
  ASSERT_EQ(3u, info.size());  // no attributes field
  const std::vector<Element> keyInfo = elementsOf(info[2].whole);
  ASSERT_EQ(2u, keyInfo.size());
  ASSERT_GT(keyInfo[1].contents.size(), 1u);
  ASSERT_GT(request[2].contents.size(), 1u);
  EXPECT_EQ(0, keyInfo[1].contents[0]);  // whole bytes: no unused bits
  EXPECT_EQ(0, request[2].contents[0]);
  writeFile(path("info.der"), request[0].whole);
  writeFile(path("signature.bin"),
            Bytes(request[2].contents.begin() + 1, request[2].contents.end()));
  writeFile(path("key.der"), Bytes(keyInfo[1].contents.begin() + 1, keyInfo[1].contents.end()));

  const CommandResult key =
      runCommand("openssl rsa -RSAPublicKey_in -inform DER -in '" + path("key.der") +
                 "' -pubout -out '" + path("key.pem") + "'");
  ASSERT_EQ(0, key.status) << key.out;
  const CommandResult verified =
      runCommand("openssl dgst -md5 -verify '" + path("key.pem") + "' -signature '" +
                 path("signature.bin") + "' '" + path("info.der") + "'");
  EXPECT_EQ(0, verified.status) << verified.out;
  EXPECT_NE(std::string::npos, verified.out.find("Verified OK")) << verified.out;
}

TEST_F(RequestCertTest, EmptyPassPhraseMacsUnderThePrefixAlone) {
  writeIdentifiers();
  const std::string file = path("new.req");
  ASSERT_EQ(+ControlCode::kOk, control.makeRequestCert(1, u16(file), u""));
  auto request = decodeRecord(&d2i_FEDIREQ, readFile(file));
  ASSERT_NE(nullptr, request);
  EXPECT_EQ(1, FEDIREQ_verify(request.get(), nullptr, 0));
  EXPECT_EQ(1, X509_REQ_verify(request->request, publicKey_.get()));
}

TEST_F(RequestCertTest, ExtensionNamesTheCurrentCertificate) {
  storeCertificate();
  const std::string file = path("extend.req");
  ASSERT_EQ(+ControlCode::kOk, control.makeRequestCert(2, u16(file), u"ignored"));

  auto request = decodeRecord(&d2i_FEDIEXT, readFile(file));
  ASSERT_NE(nullptr, request);
  const FEDIEXT_INFO* body = request->signedPart->body;
  EXPECT_TRUE(verifiesMd5(publicKey_.get(), encodeRecord(&i2d_FEDIEXT_INFO, body),
                          request->signedPart->signature));
  EXPECT_EQ(2, ASN1_INTEGER_get(body->type));
  EXPECT_EQ(1001, ASN1_INTEGER_get(body->serialNumber));
  int type = 0;
  ASSERT_EQ(2, X509_NAME_entry_count(body->issuer));
  EXPECT_EQ(fedi::kTestCasid1, entryText(body->issuer, 1, &type));
}

TEST_F(RequestCertTest, RevocationCarriesTheReasonAndTheCertificate) {
  storeCertificate();
  struct Case {
    std::u16string reason;
    std::string expected;
  };
  for (const Case& c : {Case{u"key lost", "key lost"}, Case{u"", ""}}) {
    SCOPED_TRACE(c.expected);
    const std::string file = path("revoke.req");
    ASSERT_EQ(+ControlCode::kOk, control.makeRequestCert(3, u16(file), c.reason));

    auto request = decodeRecord(&d2i_FEDIREV, readFile(file));
    ASSERT_NE(nullptr, request);
    const FEDIREV_INFO* body = request->signedPart->body;
    EXPECT_TRUE(verifiesMd5(publicKey_.get(), encodeRecord(&i2d_FEDIREV_INFO, body),
                            request->signedPart->signature));
    EXPECT_EQ(4, ASN1_INTEGER_get(body->type));
    ASSERT_NE(nullptr, body->serialNumber);
    ASSERT_NE(nullptr, body->subject);
    EXPECT_EQ(1001, ASN1_INTEGER_get(body->serialNumber));
    EXPECT_EQ(1001, ASN1_INTEGER_get(body->serialNumber2));
    int type = 0;
    ASSERT_EQ(2, X509_NAME_entry_count(body->subject));
    EXPECT_EQ("TESTUSER01", entryText(body->subject, 1, &type));
    EXPECT_EQ(c.expected, std::string(reinterpret_cast<const char*>(body->reason->data),
                                      static_cast<std::size_t>(body->reason->length)));
  }
}

// The builder's own default: no reason text at all gives "Revoke", while an empty text stays an
// empty reason. No method passes a null reason (makeRequestCert passes its OptionalData, empty
// or not), so the builder is called as the methods call it.
TEST_F(RequestCertTest, RevocationReasonIsRevokeOnlyWithoutAText) {
  storeCertificate();
  struct Case {
    const char* what;
    const char* reason;
    std::string expected;
  };
  const Case cases[] = {{"null reason", nullptr, "Revoke"}, {"empty reason", "", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> der;
    ASSERT_EQ(+ControlCode::kOk, ControlTestAccess::buildRevokeRequest(control, c.reason, der));
    auto request = decodeRecord(&d2i_FEDIREV, der);
    ASSERT_NE(nullptr, request);
    const FEDIREV_INFO* body = request->signedPart->body;
    EXPECT_TRUE(verifiesMd5(publicKey_.get(), encodeRecord(&i2d_FEDIREV_INFO, body),
                            request->signedPart->signature));
    EXPECT_EQ(c.expected, std::string(reinterpret_cast<const char*>(body->reason->data),
                                      static_cast<std::size_t>(body->reason->length)));
  }
}

TEST_F(RequestCertTest, FailuresGiveTheirCodesAndWriteNoFile) {
  writeIdentifiers();
  struct Case {
    const char* what;
    std::int32_t reqType;
    std::string file;
    std::int32_t want;
  };
  const Case cases[] = {
      {"unknown type 0", 0, path("zero.req"), +ControlCode::kNotCompleted},
      {"unknown type 4", 4, path("four.req"), +ControlCode::kNotCompleted},
      {"no certificate for an extension", 2, path("extend.req"), +ControlCode::kReadFailed},
      {"no certificate for a revocation", 3, path("revoke.req"), +ControlCode::kReadFailed},
      {"folder missing", 1, path("no/such/folder/new.req"), +ControlCode::kFileOpenFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.want, control.makeRequestCert(c.reqType, u16(c.file), u"secret"));
    EXPECT_EQ(c.want, control.getErrorCode());
    EXPECT_FALSE(exists(c.file));
  }
}

TEST_F(RequestCertTest, NewRequestNeedsTheIdentifiersAndThePin) {
  EXPECT_EQ(+ControlCode::kReadFailed, control.makeRequestCert(1, u16(path("new.req")), u"secret"));
  writeIdentifiers();
  control.close();
  EXPECT_EQ(+ControlCode::kPinNotVerified,
            control.makeRequestCert(1, u16(path("new.req")), u"secret"));
  EXPECT_FALSE(exists(path("new.req")));
}

TEST(MakeNameFromTable, ChoosesTheNarrowestStringTypeInOrder) {
  const control::NameEntry entries[] = {
      {"O", "ACME Bank 42"}, {"CN", "user@acme"}, {"OU", "\xA4\xA4\xA4\xE5"}};
  const auto name = control::makeNameFromTable(entries);
  ASSERT_NE(nullptr, name);
  ASSERT_EQ(3, X509_NAME_entry_count(name.get()));
  const int want[] = {V_ASN1_PRINTABLESTRING, V_ASN1_IA5STRING, V_ASN1_T61STRING};
  for (int i = 0; i < 3; ++i) {
    int type = 0;
    EXPECT_EQ(entries[i].value, entryText(name.get(), i, &type));
    EXPECT_EQ(want[i], type);
  }
  const control::NameEntry unknown[] = {{"O", "x"}, {"NoSuchAttribute", "y"}};
  EXPECT_EQ(nullptr, control::makeNameFromTable(unknown));
}

}  // namespace
}  // namespace kestrune::testing
