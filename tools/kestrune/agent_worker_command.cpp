#include "tools/kestrune/agent_worker_command.h"

#include <filesystem>
#include <iostream>
#include <map>

#include "agent/agent_config.h"
#include "agent/web_policy.h"
#include "agent/worker.h"
#include "platform/child_process.h"
#include "platform/file_beneath.h"

namespace kestrune::host {

int runAgentWorker(const std::string& originFolder, std::ostream& err) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path folder(originFolder);
  if (!folder.is_absolute() || !fs::is_directory(folder, error)) {
    err << "kestrune agent-worker: --origin-folder must name an existing absolute folder\n";
    return 2;
  }
  agent::WebPolicy policy;
  // Entered first, then opened as entered: one look at the folder, not two that a change
  // between them could set apart. A page's files are opened beneath this descriptor.
  fs::current_path(folder, error);
  if (error) {
    err << "kestrune agent-worker: cannot enter the origin folder: " << error.message() << "\n";
    return 2;
  }
  policy.originFolder = platform::openFolder(".");
  if (!policy.originFolder) {
    err << "kestrune agent-worker: cannot open the origin folder\n";
    return 2;
  }
  policy.modules = agent::registeredModules();
  // The user's own names come last and win: agent.json is theirs alone, p11-kit's the system's.
  const std::string configPath = agent::agentConfigPath();
  if (!configPath.empty()) {
    std::map<std::string, std::string> own;
    std::string why;
    if (agent::loadModules(configPath, own, why) != agent::ConfigStatus::ok) {
      err << "kestrune agent-worker: " << why << "\n";
      return 1;
    }
    for (auto& [name, path] : own) policy.modules.insert_or_assign(name, path);
  }
  platform::leaveControllingTerminal();
  std::ios::sync_with_stdio(false);
  platform::AnswerOutput answers;
  return agent::runWorker(std::cin, answers.stream(), policy);
}

}  // namespace kestrune::host
