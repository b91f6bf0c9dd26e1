// The CryptoAPI signing session of the control: a certificate found in the user's My store with
// its key in a software container, and one found among a PKCS#11-backed provider's containers
// (a SoftHSM2 token). Signatures are checked with the openssl command.
#include "tests/tvcapi/token_fixture.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <algorithm>
#include <filesystem>

#include "common/der.h"
#include "edifact/edifact.h"
#include "platform/platform.h"
#include <string>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "tests/support/test_token.h"

namespace kestrune::testing::tvcapi_core {
namespace {

constexpr const char* kSoftware = "Microsoft Enhanced Cryptographic Provider v1.0";
constexpr std::u16string_view kMessage = u"UNH+1+INVOIC:D:96A:UN'BGM+380+1'UNT+3+1'";

std::u16string u16(std::string_view text) {
  return {text.begin(), text.end()};
}
std::string narrow(const std::u16string& text) {
  return {text.begin(), text.end()};
}

// certificateOf gives a certificate of the RSA key with that subject CN, issued by an issuer
// named by its O alone (by a CN when organisation is empty).
Bytes certificateOf(EVP_PKEY* key, const std::string& commonName, const std::string& organisation,
                    std::uint64_t serial) {
  Ptr<X509> cert(X509_new());
  X509_set_version(cert.get(), X509_VERSION_3);
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial);
  const auto add = [](X509_NAME* name, const char* field, const std::string& value) {
    // Given as a UTF8String, the value skips OpenSSL's length limits for the attribute.
    X509_NAME_add_entry_by_txt(name, field, V_ASN1_UTF8STRING,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
  };
  add(X509_get_subject_name(cert.get()), "CN", commonName);
  if (organisation.empty()) {
    add(X509_get_issuer_name(cert.get()), "CN", "Issuer");
  } else {
    add(X509_get_issuer_name(cert.get()), "O", organisation);
  }
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400L);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30 * 86400L);
  X509_set_pubkey(cert.get(), key);
  X509_sign(cert.get(), key, EVP_sha256());
  return toDer(cert.get(), i2d_X509);
}

// checkSignedBy verifies the envelope's SHA-1 signature with the openssl command and returns
// the USC segment (with its terminator).
std::string checkSignedBy(const std::string& message, const std::string& publicKeyPem,
                          const std::string& dir) {
  const std::size_t ush = message.find("USH+");
  const std::size_t ust = message.find("UST+");
  const std::size_t usr = message.find("USR+");
  EXPECT_NE(std::string::npos, ust);
  if (ush == std::string::npos || ust == std::string::npos || usr == std::string::npos) return {};
  const std::string hex = message.substr(usr + 4, message.find('\'', usr) - usr - 4);
  Bytes signature;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    signature.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  writeFile(dir + "/signed.bin", asBytes(message.substr(ush, ust - ush)));
  writeFile(dir + "/signature.bin", signature);
  EXPECT_TRUE(run("openssl dgst -sha1 -verify " + publicKeyPem + " -signature " + dir +
                  "/signature.bin " + dir + "/signed.bin"))
      << message;
  const std::size_t usc = message.find("USC+");
  return message.substr(usc, edifact::segmentEnd(message, usc) + 1 - usc);
}

// A certificate in the user's My store whose key is in a software container.
class StoreSigning : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    storeInContainer(key_.get(), "signer");
    Ptr<BIO> bio(BIO_new_file(publicKeyPem().c_str(), "w"));
    ASSERT_TRUE(PEM_write_bio_PUBKEY(bio.get(), key_.get()));
  }
  std::string publicKeyPem() const { return dir() + "/public.pem"; }

  // Puts a certificate of the test key into My, its key in the "signer" container.
  void addToMy(const std::string& commonName, const std::string& issuerOrganisation,
               std::uint64_t serial = 0x010A, const std::string& provider = kSoftware) {
    const Bytes der = certificateOf(key_.get(), commonName, issuerOrganisation, serial);
    const std::string my = userStore("My");
    std::filesystem::create_directories(my);
    const std::string stem = my + "/" + test::sha1Hex(der);
    writeFile(stem + ".der", der);
    writeFile(stem + ".json", asBytes("{\"provider\": \"" + provider +
                                      "\", \"container\": \"signer\", \"providerType\": 1, "
                                      "\"keySpec\": 1, \"flags\": 0}"));
  }

  Ptr<EVP_PKEY> key_ = newRsaKey();
  TVFEDIMiniKeyCrypt control;
};

TEST_F(StoreSigning, ASessionSignsSeveralMessagesWithTheCertificatesIdentity) {
  addToMy("U001", "ORG01");
  control.showDebugMessage(1);
  EXPECT_EQ(0, control.FEDIMessageSignWithCSP_Init(u"CN=U001", u"", u"", u"", 0, 0));
  for (auto& m : messages()) printf("%s | %s\n", m.caption.c_str(), m.text.c_str());
  EXPECT_EQ(0, control.getErrorCode());
  for (const std::u16string_view body : {u"BGM+380+1'", u"BGM+380+2'DTM+137:20240102:102'"}) {
    const std::u16string message = u"UNH+1+INVOIC:D:96A:UN'" + std::u16string(body) + u"UNT+3+1'";
    const auto signedMessage = control.FEDIMessageSignWithCSP_Update(message);
    ASSERT_TRUE(signedMessage);
    EXPECT_EQ(0, control.getErrorCode());
    const std::string text = narrow(*signedMessage);
    EXPECT_NE(std::string::npos, text.find("'USA+1:::8:1'USC+"));
    EXPECT_EQ("USC+010A+3:::::ORG01::U001'", checkSignedBy(text, publicKeyPem(), dir()));
  }
  EXPECT_EQ(u"U001", control.getSID1());
  EXPECT_EQ(u"ORG01", control.getSID2());
  EXPECT_EQ(0, control.FEDIMessageSignWithCSP_Final());
  EXPECT_FALSE(control.FEDIMessageSignWithCSP_Update(kMessage));
  EXPECT_EQ(12, control.getErrorCode());
}

TEST_F(StoreSigning, TheIdentityComesFromTheCertificateAsTheEnvelopeWritesIt) {
  const std::string longOrganisation(35, 'A');
  struct Case {
    const char* why;
    std::string commonName;
    std::string organisation;
    std::string usc;  // empty: refused
    std::int32_t code;
  } cases[] = {
      {"an organisation over 35 characters goes on in the next component", "U002",
       longOrganisation + "BCDEF", "USC+010A+3:::::" + longOrganisation + ":BCDEF:U002'", 0},
      {"syntax characters are released", "U'3+", "O:R", "USC+010A+3:::::O?:R::U?'3?+'", 0},
      {"an issuer without O", "U004", "", "", 10001},
      {"an organisation too long for the segment", "U005", std::string(35 + 128, 'O'), "", 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::filesystem::remove_all(userStore("My"));
    addToMy(c.commonName, c.organisation);
    ASSERT_EQ(0, control.FEDIMessageSignWithCSP_Init(u"", u"", u"", u"", 0, 0));
    const auto signedMessage = control.FEDIMessageSignWithCSP_Update(kMessage);
    EXPECT_EQ(c.code, control.getErrorCode());
    if (c.usc.empty()) {
      EXPECT_FALSE(signedMessage);
    } else {
      ASSERT_TRUE(signedMessage);
      EXPECT_EQ(c.usc, checkSignedBy(narrow(*signedMessage), publicKeyPem(), dir()));
    }
    control.FEDIMessageSignWithCSP_Final();
  }
}

TEST_F(StoreSigning, FailuresLeaveNoSessionAndShowTheirBoxesWhenDebugging) {
  addToMy("U001", "");
  control.showDebugMessage(1);
  // A lookup that finds nothing: the lookup's own code, no signature.
  EXPECT_FALSE(control.FEDIMessageSignWithCSP(kMessage, u"CN=NOBODY", u"", u"", u"", 0, 0));
  EXPECT_EQ(5010, control.getErrorCode());
  // A provider that doesn't exist: its store can't be loaded.
  EXPECT_EQ(12, control.FEDIMessageSignWithCSP_Init(u"", u"", u"No Such CSP", u"", 0, 0));
  EXPECT_FALSE(control.FEDIMessageSignWithCSP_Update(kMessage));
  EXPECT_EQ(12, control.getErrorCode());
  // The issuer has no O.
  clearMessages();
  EXPECT_FALSE(control.FEDIMessageSignWithCSP(kMessage, u"", u"", u"", u"", 0, 0));
  EXPECT_EQ(10001, control.getErrorCode());
  ASSERT_EQ(1u, messages().size());
  EXPECT_EQ("No Issuer O", messages()[0].text);
  EXPECT_EQ("Error", messages()[0].caption);
  // A long message reads the identity ahead, quietly: the box is still shown once.
  clearMessages();
  const std::u16string longMessage =
      u"UNH+1+X:D:96A:UN'" + std::u16string(2u << 20, u'A') + u"'UNT+3+1'";
  EXPECT_FALSE(control.FEDIMessageSignWithCSP(longMessage, u"", u"", u"", u"", 0, 0));
  EXPECT_EQ(10001, control.getErrorCode());
  EXPECT_EQ(1u, messages().size());
  // The certificate's key property names a provider that doesn't exist: the box names the call
  // that failed, acquiring it.
  addToMy("U404", "ORG01", 9, "No Such CSP");
  clearMessages();
  EXPECT_EQ(12, control.FEDIMessageSignWithCSP_Init(u"CN=U404", u"", u"", u"", 0, 0));
  const auto named = [this](const char* caption) {
    return std::count_if(messages().begin(), messages().end(),
                         [caption](const auto& message) { return message.caption == caption; });
  };
  EXPECT_EQ(1, named("TVXCAPI_AcquireCSP"));
  EXPECT_EQ(0, named("TVXCAPI_GetCertificate"));
  for (const auto& message : messages()) {
    if (message.caption == "TVXCAPI_AcquireCSP") {
      EXPECT_EQ("5203", message.text);
    }
  }
  // A message without the envelope's segments.
  addToMy("U001", "ORG01", 7);
  EXPECT_FALSE(control.FEDIMessageSignWithCSP(u"UNH+1:2'", u"CN=U001\nSN=07", u"", u"", u"", 0, 0));
  EXPECT_EQ(500, control.getErrorCode());
}

// A message of megabytes is hashed while it converts, on the guess that it has no envelope yet,
// and converts back beside the signing: whether the guess holds (ASCII), is given up while
// converting (Big5 text outgrows the room made for ASCII; a USH+ in the body) or fails only at
// the end (a USH+ after UNT), the result is the one signing the whole text gives: the body
// kept, the signature and the segment count right.
TEST_F(StoreSigning, LongMessagesComeBackWholeAndSigned) {
  addToMy("U001", "ORG01");
  control.showDebugMessage(1);
  ASSERT_EQ(0, control.FEDIMessageSignWithCSP_Init(u"CN=U001", u"", u"", u"", 0, 0));
  const auto bodyOf = [](std::u16string_view every7th) {
    std::u16string body;
    for (int i = 0; body.size() < (3u << 20); ++i) {
      body += (i % 7 == 0) ? every7th : u"LIN+1++WIDGET:SA'QTY+21:10'";
    }
    return body;
  };
  const std::u16string ascii = bodyOf(u"FTX+AAI+++NOTE'");
  const std::u16string big5 = bodyOf(u"FTX+AAI+++\u8acb\u9078\u64c7'");
  struct Case {
    const char* why;
    std::u16string body;
    std::u16string after;  // after the UNT segment
    std::int32_t code;
  } cases[] = {
      {"ASCII", ascii, u"UNZ+1+1'", 0},
      {"Big5 in the body and after it", big5, u"UNZ+1+\u7c3d\u7ae0'", 0},
      {"a USH+ after UNT", ascii, u"USH+1'", 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    clearMessages();
    const std::u16string message = u"UNH+1+ORDERS:D:96A:UN'" + c.body + u"UNT+3+1'" + c.after;
    const auto signedMessage = control.FEDIMessageSignWithCSP_Update(message);
    EXPECT_EQ(c.code, control.getErrorCode());
    EXPECT_TRUE(messages().empty());  // nothing shown twice, nor ahead of its turn
    if (c.code != 0) continue;
    ASSERT_TRUE(signedMessage);
    const std::size_t bodyAt = signedMessage->find(u"'USA+6:::10:1'") + 14;
    const std::size_t trailerAt = signedMessage->find(u"UST+01'");
    ASSERT_LT(bodyAt, trailerAt);
    EXPECT_TRUE(signedMessage->substr(bodyAt, trailerAt - bodyAt) == c.body);
    EXPECT_TRUE(signedMessage->ends_with(c.after));
    std::string text;
    ASSERT_TRUE(platform::toCodePage950(*signedMessage, text));
    edifact::VerifyReport report;
    EXPECT_EQ(edifact::VerifyStatus::ok, edifact::verifyEdifactMessage(text, key_.get(), report))
        << report.message;
    checkSignedBy(text, publicKeyPem(), dir());

    // Signed again, the envelope is replaced: the guess is given up in the body.
    const auto again = control.FEDIMessageSignWithCSP_Update(*signedMessage);
    ASSERT_TRUE(again);
    ASSERT_TRUE(platform::toCodePage950(*again, text));
    EXPECT_EQ(edifact::VerifyStatus::ok, edifact::verifyEdifactMessage(text, key_.get(), report))
        << report.message;
  }
}

// The same session on a provider whose containers are a SoftHSM2 token's keys.
class TokenSigning : public TokenCoreTest {
 protected:
  void SetUp() override {
    TokenCoreTest::SetUp();
    ASSERT_TRUE(run("openssl pkey -in " + keyPem() + " -pubout -out " + dir() + "/public.pem"));
  }
  TVFEDIMiniKeyCrypt control;
};

TEST_F(TokenSigning, TheProvidersKeySignsAfterThePinAndOnlyWithTheRightOne) {
  const std::u16string pin = u16(kUserPin);
  // A wrong PIN after a right one reaches the token and is refused; the session is gone.
  ASSERT_EQ(0, control.FEDIMessageSignWithCSP_Init(u"CN=card", u"", u"Card", pin, 0, 0));
  EXPECT_EQ(5071, control.FEDIMessageSignWithCSP_Init(u"CN=card", u"", u"Card", u"999999", 0, 0));
  EXPECT_FALSE(control.FEDIMessageSignWithCSP_Update(kMessage));
  EXPECT_EQ(12, control.getErrorCode());

  ASSERT_EQ(0, control.FEDIMessageSignWithCSP_Init(u"CN=card", u"", u"Card", pin, 0, 0));
  const auto signedMessage = control.FEDIMessageSignWithCSP_Update(kMessage);
  ASSERT_TRUE(signedMessage);
  const std::string usc = checkSignedBy(narrow(*signedMessage), dir() + "/public.pem", dir());
  EXPECT_TRUE(usc.starts_with("USC+")) << usc;
  EXPECT_TRUE(usc.ends_with("+3:::::Card Issuer::card'")) << usc;
  control.FEDIMessageSignWithCSP_Final();
}

// The user's My store holds the card's certificate, its key-provider property naming the card's
// provider and container: Init finds the provider through the certificate.
TEST_F(TokenSigning, TheUsersStoreLeadsToTheCardsProvider) {
  const std::string my = userStore("My");
  std::filesystem::create_directories(my);
  const std::string stem = my + "/" + test::sha1Hex(certificate());
  writeFile(stem + ".der", certificate());
  writeFile(stem + ".json", asBytes("{\"provider\": \"Card\", \"container\": \"card-key\", "
                                    "\"providerType\": 1, \"keySpec\": 1, \"flags\": 0}"));
  const auto signedMessage = control.FEDIMessageSignWithCSP(kMessage, u"CN=card", u"O=Card Issuer",
                                                            u"", u16(kUserPin), 0, 0);
  ASSERT_TRUE(signedMessage);
  EXPECT_EQ(0, control.getErrorCode());
  checkSignedBy(narrow(*signedMessage), dir() + "/public.pem", dir());
  // The one-message form leaves no session behind.
  EXPECT_FALSE(control.FEDIMessageSignWithCSP_Update(kMessage));
  EXPECT_EQ(12, control.getErrorCode());
}

// The provider and the control's own token session share one module in the process, in either
// order: neither refuses the module the other initialised, nor ends the other's sessions.
TEST_F(TokenSigning, TheProviderAndTheTokenSessionShareTheModule) {
  const std::u16string pin = u16(kUserPin);
  for (const bool providerFirst : {true, false}) {
    SCOPED_TRACE(providerFirst ? "provider first" : "token session first");
    if (providerFirst) {
      ASSERT_EQ(0, control.FEDIMessageSignWithCSP_Init(u"CN=card", u"", u"Card", pin, 0, 0));
    }
    ASSERT_EQ(0, control.loadLib(u16(softHsmModule())));
    EXPECT_EQ(0, control.checkPassword(pin));
    if (!providerFirst) {
      ASSERT_EQ(0, control.FEDIMessageSignWithCSP_Init(u"CN=card", u"", u"Card", pin, 0, 0));
    }
    EXPECT_TRUE(control.FEDIMessageSignWithCSP_Update(kMessage));
    control.FEDIMessageSignWithCSP_Final();
    EXPECT_TRUE(control.getCSN()) << control.getErrorCode();
    control.close();
  }
}

}  // namespace
}  // namespace kestrune::testing::tvcapi_core
