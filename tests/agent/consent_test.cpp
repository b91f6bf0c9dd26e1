// Which calls ask the user first, what the question says, and the answer tests preset.
#include "agent/consent.h"

#include "platform/consent_prompt.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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

// askOnTerminal in a child whose controlling terminal is a pseudo-terminal of the test's:
// typedAhead is typed before the question, typed once it is shown. The child's exit status is
// the answer.
platform::PromptAnswer answerOnTerminal(const std::string& typedAhead, const std::string& typed) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_GE(master, 0);
  EXPECT_EQ(0, grantpt(master));
  EXPECT_EQ(0, unlockpt(master));
  const std::string slaveName = ptsname(master);
  // Held open so that the line keeps what is typed before the child opens it.
  const int held = open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_EQ(static_cast<ssize_t>(typedAhead.size()),
            write(master, typedAhead.data(), typedAhead.size()));
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    const int slave = open(slaveName.c_str(), O_RDWR);
    ioctl(slave, TIOCSCTTY, 0);
    _exit(static_cast<int>(platform::askOnTerminal("https://bank.example wants to sign?")));
  }
  std::string shown;
  char c = 0;
  pollfd ready{master, POLLIN, 0};
  while (shown.find("[y/N] ") == std::string::npos && poll(&ready, 1, 10'000) == 1 &&
         read(master, &c, 1) == 1) {
    shown += c;
  }
  EXPECT_NE(std::string::npos, shown.find("https://bank.example wants to sign? [y/N] "));
  EXPECT_EQ(static_cast<ssize_t>(typed.size()), write(master, typed.data(), typed.size()));
  int status = 0;
  waitpid(child, &status, 0);
  close(held);
  close(master);
  return WIFEXITED(status) ? static_cast<platform::PromptAnswer>(WEXITSTATUS(status))
                           : platform::PromptAnswer::unavailable;
}

TEST(ConsentPrompt, TerminalTakesOnlyAYesTypedAfterTheQuestion) {
  using platform::PromptAnswer;
  struct Case {
    const char* typedAhead;
    const char* typed;
    PromptAnswer want;
  };
  const std::string overlong = std::string(100, 'y') + "\n";
  const Case cases[] = {
      {"", "y\n", PromptAnswer::yes},
      {"", " Yes \n", PromptAnswer::yes},
      {"", "n\n", PromptAnswer::no},
      {"", "\n", PromptAnswer::no},
      {"", "yess\n", PromptAnswer::no},
      {"y\n", "n\n", PromptAnswer::no},
      {"", overlong.c_str(), PromptAnswer::no},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "ahead \"" << c.typedAhead << "\", then \"" << c.typed << "\"");
    EXPECT_EQ(c.want, answerOnTerminal(c.typedAhead, c.typed));
  }
}

}  // namespace
}  // namespace kestrune::agent
