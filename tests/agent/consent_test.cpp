// Which calls ask the user first (from their effects), what the question says, and the answer
// tests preset.
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
#include <iterator>
#include <set>
#include <string>

namespace kestrune::agent {
namespace {

const com::Method& method(const char* name) {
  const com::Method* found = com::findMethod(name);
  EXPECT_NE(nullptr, found) << name;
  return *found;
}

// The methods that change the token, change the certificate at the authority, sign or take a
// PIN, listed here apart from the table they are derived from.
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
      "newCertificate",
      "extendCertificate",
      "revokeCertificate",
      "queryCertificate",
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
  struct Case {
    const char* method;
    ConsentKind kind;
  };
  const Case cases[] = {
      {"checkPassword", ConsentKind::logIn},
      {"FEDIMessageSignWithCSP_Init", ConsentKind::logIn},
      {"setPassword", ConsentKind::changePin},
      {"makeCard", ConsentKind::personalise},
      {"setCardSN", ConsentKind::personalise},
      {"FEDIMessageSign", ConsentKind::sign},
      {"FEDIMessageSignWithCSP", ConsentKind::sign},
      {"makeRequestCert", ConsentKind::sign},
      {"newCertificate", ConsentKind::changeCertificate},
      {"revokeCertificate", ConsentKind::changeCertificate},
      {"queryCertificate", ConsentKind::storeCertificates},
      {"loadCACert", ConsentKind::storeCertificates},
      {"getSID1", ConsentKind::none},
      {"getCert", ConsentKind::none},
      {"queryB64Certificate", ConsentKind::none},
      {"FEDIMessageSignWithCSP_Final", ConsentKind::none},
      {"loadLib", ConsentKind::none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(c.kind, consentKind(method(c.method)));
  }
}

// Each effect on its own, and the mixes the table has: the most serious effect decides.
TEST(Consent, KindFollowsTheEffects) {
  using enum com::Effect;
  struct Case {
    const char* name;
    com::Effects effects;
    ConsentKind kind;
  };
  const Case cases[] = {
      {"reads", com::Effects(reads), ConsentKind::none},
      {"readsFile", com::Effects(readsFile), ConsentKind::none},
      {"configures", com::Effects(configures), ConsentKind::none},
      {"logsIn", com::Effects(logsIn), ConsentKind::logIn},
      {"logsOut", com::Effects(logsOut), ConsentKind::none},
      {"changesPin", com::Effects(changesPin), ConsentKind::changePin},
      {"writesIdentity", com::Effects(writesIdentity), ConsentKind::personalise},
      {"makesKey", com::Effects(makesKey), ConsentKind::personalise},
      {"talksToUrl", com::Effects(talksToUrl), ConsentKind::none},
      {"signs", com::Effects(signs), ConsentKind::sign},
      {"changesCertificate", com::Effects(changesCertificate), ConsentKind::changeCertificate},
      {"storesOnToken", com::Effects(storesOnToken), ConsentKind::storeCertificates},
      {"writesFile", com::Effects(writesFile), ConsentKind::none},
      {"a read written to a file", com::Effects(reads, writesFile), ConsentKind::none},
      {"a query that stores", com::Effects(talksToUrl, storesOnToken),
       ConsentKind::storeCertificates},
      {"a new certificate", com::Effects(talksToUrl, signs, changesCertificate, storesOnToken),
       ConsentKind::changeCertificate},
      {"a signing session in one call", com::Effects(logsIn, signs, logsOut), ConsentKind::sign},
      {"a request to a file", com::Effects(signs, writesFile), ConsentKind::sign},
      {"a new card", com::Effects(writesIdentity, makesKey), ConsentKind::personalise},
  };
  static_assert(std::size(cases) >= com::kEffectCount);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.kind, consentKind(c.effects));
  }
}

TEST(Consent, QuestionNamesOriginWhatItWantsAndTheStakes) {
  struct Case {
    const char* origin;
    const char* method;
    std::string stakes;
    std::string want;
  };
  const Case cases[] = {
      {"https://bank.example", "FEDIMessageSign", "message INVOIC, reference 42, 120 bytes",
       "https://bank.example wants to sign with your key (FEDIMessageSign): message INVOIC, "
       "reference 42, 120 bytes. Allow for this session?"},
      {"https://bank.example", "setPassword", "",
       "https://bank.example wants to change your token's PIN (setPassword). Allow for this "
       "session?"},
      {"https://bank.example", "newCertificate", "the authority at ca.example",
       "https://bank.example wants to contact a certification authority, sign with your key, "
       "change your certificate at the certification authority and store a certificate on "
       "your token (newCertificate): the authority at ca.example. Allow for this session?"},
      {"https://bank.example", "FEDIMessageSignWithCSP", "",
       "https://bank.example wants to log in with your PIN and sign with your key "
       "(FEDIMessageSignWithCSP). Allow for this session?"},
      {"https://bank.example\x1b[2J", "queryCertificate", "line\nbreak",
       "https://bank.example?[2J wants to contact a certification authority and store a "
       "certificate on your token (queryCertificate): line?break. Allow for this session?"},
      {"https://bank.example", "sign", std::string(1000, 'x'),
       "https://bank.example wants to sign with your key (sign): " + std::string(400, 'x') +
           ".... Allow for this session?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(c.want, consentQuestion(c.origin, method(c.method), c.stakes));
  }
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
    EXPECT_EQ(c.want, askConsent("https://bank.example wants to sign with your key (sign)."));
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
