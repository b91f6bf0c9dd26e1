// Which calls ask the user first, what the question says, and the answer tests preset.
#include "agent/consent.h"

#include "platform/consent_prompt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

namespace kestrune::agent {
namespace {

const com::Method& method(const char* name) {
  const com::Method* found = com::findMethod(name);
  EXPECT_NE(nullptr, found) << name;
  return *found;
}

TEST(Consent, CallsThatChangeTheTokenOrSignAsk) {
  const std::set<std::string> asking = {
      "checkPassword",
      "setPassword",
      "makeCard",
      "setSID",
      "setCardSN",
      "sign",
      "signB64",
      "signHash",
      "FEDIMessageSign",
      "FEDIMessageSignWithCSP",
      "FEDIMessageSignWithCSP_Init",
      "FEDIMessageSignWithCSP_Update",
      "FEDIMessageSignWithCSP_Final",
      "newCertificate",
      "extendCertificate",
      "revokeCertificate",
      "makeRequestCert",
      "loadCert",
      "loadCertB64",
      "loadCACert",
      "loadCACertB64",
      "loadMultiCertB64",
  };
  for (const com::Method& each : com::methods()) {
    SCOPED_TRACE(std::string(each.name));
    EXPECT_EQ(asking.count(std::string(each.name)) == 1, needsConsent(each));
  }
  EXPECT_EQ(ConsentKind::sign, consentKind(method("FEDIMessageSign")));
  EXPECT_EQ(ConsentKind::none, consentKind(method("getSID1")));
}

TEST(Consent, QuestionNamesOriginAndWhatItWants) {
  EXPECT_EQ(
      "https://bank.example wants to sign with your token (FEDIMessageSign). Allow for this "
      "session?",
      consentQuestion("https://bank.example", method("FEDIMessageSign")));
  EXPECT_EQ(
      "https://bank.example wants to change your token's PIN (setPassword). Allow for this "
      "session?",
      consentQuestion("https://bank.example", method("setPassword")));
}

TEST(Consent, PresetAnswerForTests) {
  struct Case {
    const char* value;
    Consent want;
  };
  const Case cases[] = {
      {"allow", Consent::allowed}, {"deny", Consent::refused}, {"yes", Consent::refused}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    ASSERT_EQ(0, setenv("KESTRUNE_CONSENT", c.value, 1));
    EXPECT_EQ(c.want, askConsent("https://bank.example", method("sign")));
  }
  unsetenv("KESTRUNE_CONSENT");
}

// Without a display there is no desktop to ask on, whatever is installed.
TEST(ConsentPrompt, NoDesktopWithoutADisplay) {
  const char* const names[] = {"DISPLAY", "WAYLAND_DISPLAY"};
  std::string saved[2];
  bool had[2] = {false, false};
  for (int i = 0; i < 2; ++i) {
    if (const char* value = std::getenv(names[i])) {
      saved[i] = value;
      had[i] = true;
    }
    unsetenv(names[i]);
  }
  EXPECT_EQ(platform::PromptAnswer::unavailable,
            platform::askOnDesktop("Kestrune", "https://bank.example wants to sign?"));
  for (int i = 0; i < 2; ++i) {
    if (had[i]) setenv(names[i], saved[i].c_str(), 1);
  }
}

}  // namespace
}  // namespace kestrune::agent
