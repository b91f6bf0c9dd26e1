#include "tools/kestrune/demo.h"

#include <vector>

#include "platform/platform.h"
#include "tools/kestrune/demo_ca.h"
#include "tools/kestrune/demo_checks.h"
#include "tools/kestrune/demo_csp.h"
#include "tools/kestrune/demo_steps.h"
#include "tools/kestrune/demo_token.h"

namespace kestrune::host {
namespace {

// Long results (certificate bags, signatures, the signed message) are cut so each step stays
// on one line.
constexpr std::size_t kShownResultLength = 48;

std::string shortened(const std::string& result) {
  const std::string firstLine = result.substr(0, result.find('\n'));
  if (firstLine.size() <= kShownResultLength && firstLine.size() == result.size()) return result;
  return firstLine.substr(0, kShownResultLength) + "...";
}

}  // namespace

std::string defaultDemoDir() {
  const std::string data = platform::environmentVariable("XDG_DATA_HOME");
  if (!data.empty() && data.front() == '/') return data + "/kestrune/demo";
  const std::string home = platform::environmentVariable("HOME");
  if (!home.empty()) return home + "/.local/share/kestrune/demo";
  return {};
}

int runDemo(const std::string& dir, const std::string& modulePath, std::ostream& out,
            std::ostream& err) {
  DemoToken token;
  std::string why;
  if (!prepareDemoToken(dir, modulePath, token, why)) {
    err << "kestrune demo: " << why << "\n";
    return 1;
  }
  out << (token.created ? "Initialised a SoftHSM2 token" : "Using the SoftHSM2 token") << " in "
      << dir << " (" << token.configPath << "), user PIN " << kDemoUserPin << "\n";

  DemoAuthority authority;
  if (!startDemoAuthority(dir + "/" + kDemoAuthorityFolder, authority, why)) {
    err << "kestrune demo: " << why << "\n";
    return 1;
  }
  out << (authority.created ? "Initialised a fedi-ca authority" : "Using the fedi-ca authority")
      << " in " << authority.dir << ", serving " << authority.url << "; holder " << kDemoUserId
      << " / " << kDemoOrgId << " enrolled with the pass phrase " << authority.passPhrase << "\n";

  DemoContext context;
  context.dir = dir;
  context.caUrl = authority.url;
  context.passPhrase = authority.passPhrase;
  context.caBag = authority.caBag;
  context.lifetimeSeconds = authority.lifetimeSeconds;
  context.backdateSeconds = authority.backdateSeconds;
  const std::vector<DemoStep> steps = demoSteps(modulePath, authority.url);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const DemoStep& step = steps[i];
    out << "[" << i + 1 << "/" << steps.size() << "] " << step.title << " ... " << std::flush;
    const StepOutcome outcome = step.run(context);
    if (outcome.result) out << shortened(*outcome.result) << " ";
    out << "(" << outcome.note << ")\n";
    for (const Message& message : outcome.messages) {
      out << "      " << message.caption << ": " << message.text << "\n";
    }
    if (!outcome.asExpected) {
      err << "kestrune demo: stopped at step " << i + 1 << " (" << step.title
          << "): " << outcome.note << "\n";
      return 1;
    }
  }
  out << "Done: the signed message is " << dir << "/" << kSignedMessageFile
      << "; check it again with: kestrune verify-edifact " << dir << "/" << kSignedMessageFile
      << " --cert " << dir << "/" << kUserBagFile << "\n"
      << "      and the CryptoAPI-signed ones with: kestrune verify-edifact " << dir
      << "/orders-1-signed.edi --cert " << dir << "/" << kCspCertificateFile << "\n";
  return 0;
}

}  // namespace kestrune::host
