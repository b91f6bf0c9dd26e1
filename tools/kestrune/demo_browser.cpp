#include "tools/kestrune/demo_browser.h"

#include <filesystem>
#include <system_error>

#include <nlohmann/json.hpp>

#include "agent/agent_config.h"
#include "agent/agent_server.h"
#include "platform/child_process.h"
#include "platform/config_files.h"
#include "platform/platform.h"
#include "platform/stop_signal.h"
#include "tools/kestrune/demo_ca.h"
#include "tools/kestrune/demo_page_server.h"
#include "tools/kestrune/demo_token.h"

namespace kestrune::host {
namespace {

// The name the page's loadLib gives; agent.json maps it to the demo's module.
constexpr const char* kDemoModuleName = "softhsm2";

// useOwnConfiguration points the agent and its workers at the demo folder's configuration and
// data, so the demo neither reads nor changes the user's allow-list or modules.
bool useOwnConfiguration(const std::string& dir, const std::string& modulePath, std::string& why) {
  const std::string config = dir + "/config";
  const std::string data = dir + "/data";
  if (!platform::setEnvironmentVariable("XDG_CONFIG_HOME", config.c_str()) ||
      !platform::setEnvironmentVariable("XDG_DATA_HOME", data.c_str())) {
    why = "cannot set the demo's XDG_CONFIG_HOME and XDG_DATA_HOME";
    return false;
  }
  const nlohmann::json agentJson = {{"modules", {{kDemoModuleName, modulePath}}}};
  const std::string path = agent::agentConfigPath();
  if (path.empty() || platform::replaceConfigFile(path, agentJson.dump(2) + "\n") != 0) {
    why = "cannot write " + path;
    return false;
  }
  const std::string originsData = platform::dataFolderPath("origins");
  if (originsData.empty() || !platform::makeOwnerFolder(originsData)) {
    why = "cannot make " + originsData;
    return false;
  }
  return true;
}

}  // namespace

int runBrowserDemo(const std::string& demoDir, const std::string& modulePath, std::ostream& out,
                   std::ostream& err) {
  // XDG_CONFIG_HOME and XDG_DATA_HOME count only when absolute: a relative folder would leave
  // the agent on the user's own allow-list.
  std::error_code error;
  const std::string dir = std::filesystem::absolute(demoDir, error).lexically_normal().string();
  const std::string self = platform::selfExecutablePath();
  if (error || self.empty()) {
    err << "kestrune demo: cannot name " << demoDir << " or this program by absolute paths\n";
    return 1;
  }
  if (modulePath.empty() || modulePath.front() != '/') {
    err << "kestrune demo: --module must be an absolute path for the agent's module list\n";
    return 1;
  }
  // Before the authority's and the agent's threads start, so that Ctrl-C reaches this one.
  std::string why;
  if (!platform::watchStopSignals(why)) {
    err << "kestrune demo: " << why << "\n";
    return 1;
  }
  // The token's configuration (SOFTHSM2_CONF) is set in this process's environment here, which
  // the agent's workers inherit.
  DemoToken token;
  if (!prepareDemoToken(dir, modulePath, token, why)) {
    err << "kestrune demo: " << why << "\n";
    return 1;
  }
  DemoAuthority authority;
  if (!startDemoAuthority(dir + "/" + kDemoAuthorityFolder, authority, why) ||
      !useOwnConfiguration(dir, modulePath, why)) {
    err << "kestrune demo: " << why << "\n";
    return 1;
  }

  DemoPageServer page(dir);
  if (!page.listen(why)) {
    err << "kestrune demo: " << why << "\n";
    return 1;
  }
  const std::string originsFile = agent::originsFilePath();
  if (!agent::saveOrigins(originsFile, {page.origin()}, why)) {
    err << "kestrune demo: cannot put the page's origin on the allow-list: " << why << "\n";
    return 1;
  }

  agent::AgentOptions options;
  options.port = 0;  // beside an agent the user may run on the default port
  options.workerCommand = {self, "agent-worker"};
  options.originsFile = originsFile;
  options.agentConfig = agent::agentConfigPath();
  options.originsDataDir = platform::dataFolderPath("origins");
  agent::AgentServer agentServer(options);
  if (!agentServer.start(why)) {
    err << "kestrune demo: the agent did not start: " << why << "\n";
    return 1;
  }

  DemoPageSettings settings;
  settings.agentPort = agentServer.port();
  settings.module = kDemoModuleName;
  settings.pin = kDemoUserPin;
  settings.caUrl = authority.url;
  settings.caBag = authority.caBag;
  settings.passPhrase = authority.passPhrase;
  settings.userId = kDemoUserId;
  settings.orgId = kDemoOrgId;
  page.serve(std::move(settings));

  out << (token.created ? "Initialised a SoftHSM2 token" : "Using the SoftHSM2 token") << " in "
      << dir << ", user PIN " << kDemoUserPin << "\n"
      << "The fedi-ca authority serves " << authority.url << "\n"
      << "The agent listens on " << agentServer.baseUrl() << " for " << page.origin()
      << " (allow-list " << originsFile << ")\n"
      << "Open " << page.origin() << "/ in your browser; Ctrl-C ends the demo" << std::endl;
  platform::waitForStopSignal();

  page.stop();
  agentServer.stop();
  agentServer.wait();
  authority.server.stop();
  out << "Demo ended" << std::endl;
  return 0;
}

}  // namespace kestrune::host
