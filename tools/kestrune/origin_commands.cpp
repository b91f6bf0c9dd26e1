// Origins are taken as a user types them and kept as a browser sends them, so that what is
// added is what the agent will match. A file that can't be read as an allow-list is never
// overwritten: it is the user's to mend.
#include "tools/kestrune/origin_commands.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/agent_config.h"
#include "agent/origin.h"
#include "platform/config_files.h"
#include "tools/kestrune/display_text.h"

namespace kestrune::host {
namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

// AllowList is origins.json as read.
struct AllowList {
  std::string path;
  std::vector<std::string> origins;
  platform::ConfigFileLock lock;  // held from the read to the write of add and remove
};

// loadAllowList reads the user's allow-list; a missing file is an empty list. False with a
// line on err when there is no path or the file can't be used.
bool loadAllowList(const char* command, AllowList& list, std::ostream& err) {
  const std::string_view unchanged = std::string_view(command) == "list" ? "" : "; left unchanged";
  list.path = agent::originsFilePath();
  if (list.path.empty()) {
    err << "kestrune origins " << command
        << ": neither XDG_CONFIG_HOME nor HOME names a folder for origins.json\n";
    return false;
  }
  if (command != std::string_view("list")) {
    if (const int error = list.lock.acquire(list.path); error != 0) {
      err << "kestrune origins " << command << ": cannot lock " << list.path << ": "
          << std::strerror(error) << unchanged << "\n";
      return false;
    }
  }
  std::string why;
  if (agent::loadOrigins(list.path, list.origins, why) != agent::ConfigStatus::ok) {
    err << "kestrune origins " << command << ": " << why << unchanged << "\n";
    return false;
  }
  return true;
}

bool saveAllowList(const char* command, const AllowList& list, std::ostream& err) {
  std::string why;
  if (agent::saveOrigins(list.path, list.origins, why)) return true;
  err << "kestrune origins " << command << ": " << why << "\n";
  return false;
}

// canonicalArgument gives the origin the user typed as a browser writes it, or says on err
// why it names none.
std::optional<std::string> canonicalArgument(const char* command, const std::string& text,
                                             std::ostream& err) {
  std::string why;
  std::optional<std::string> origin = agent::canonicalOrigin(text, why);
  if (!origin) {
    err << "kestrune origins " << command << ": \"" << oneLine(text)
        << "\" is not a web origin: " << why << "\n";
  }
  return origin;
}

}  // namespace

OriginCommands::OriginCommands(CLI::App& app) {
  origins_ = app.add_subcommand("origins",
                                "The web origins whose pages the local agent answers: "
                                "$XDG_CONFIG_HOME/kestrune/origins.json");
  origins_->require_subcommand(1, 1);
  list_ = origins_->add_subcommand("list", "One allowed origin per line");
  list_->add_flag("--json", json_, "a JSON array of the origins instead");
  add_ = origins_->add_subcommand(
      "add", "Allow an origin's pages; prints the origin as it is kept and as browsers send it");
  add_->add_option("origin", origin_,
                   "scheme://host[:port] of the pages, http or https (\"https://bank.example\")")
      ->required();
  add_->add_flag("--insecure", insecure_,
                 "allow a plain-HTTP origin beyond this machine's loopback, whose pages anyone "
                 "on the network can rewrite");
  remove_ = origins_->add_subcommand("remove", "Take an origin off the allow-list");
  remove_->add_option("origin", origin_, "the origin, in any spelling add takes")->required();
}

int OriginCommands::run(std::ostream& out, std::ostream& err) const {
  if (list_->parsed()) return list(out, err);
  if (add_->parsed()) return add(out, err);
  if (remove_->parsed()) return remove(out, err);
  return kUsageError;
}

int OriginCommands::list(std::ostream& out, std::ostream& err) const {
  AllowList list;
  if (!loadAllowList("list", list, err)) return kFailed;
  if (json_) {
    out << nlohmann::json(list.origins).dump() << "\n";
    return kDone;
  }
  for (const std::string& origin : list.origins) out << origin << "\n";
  return kDone;
}

int OriginCommands::add(std::ostream& out, std::ostream& err) const {
  const std::optional<std::string> origin = canonicalArgument("add", origin_, err);
  if (!origin) return kUsageError;
  // A page that comes over plain HTTP from another host could be anyone's, rewritten on the way.
  if (agent::plainHttpBeyondLoopback(*origin)) {
    if (!insecure_) {
      err << "kestrune origins add: " << *origin
          << " is plain HTTP beyond this machine: anyone on the network could rewrite its pages "
             "and reach the token through them; use https, or --insecure to allow it all the "
             "same\n";
      return kUsageError;
    }
    err << "kestrune origins add: WARNING: " << *origin
        << " is plain HTTP beyond this machine: anyone on the network can rewrite its pages\n";
  }
  AllowList list;
  if (!loadAllowList("add", list, err)) return kFailed;
  if (std::find(list.origins.begin(), list.origins.end(), *origin) != list.origins.end()) {
    out << *origin << " is already allowed\n";
    return kDone;
  }
  list.origins.push_back(*origin);
  if (!saveAllowList("add", list, err)) return kFailed;
  out << "allowed " << *origin << "\n";
  return kDone;
}

int OriginCommands::remove(std::ostream& out, std::ostream& err) const {
  const std::optional<std::string> origin = canonicalArgument("remove", origin_, err);
  if (!origin) return kUsageError;
  AllowList list;
  if (!loadAllowList("remove", list, err)) return kFailed;
  const auto found = std::find(list.origins.begin(), list.origins.end(), *origin);
  if (found == list.origins.end()) {
    err << "kestrune origins remove: " << *origin << " is not in " << list.path << "\n";
    return kFailed;
  }
  list.origins.erase(found);
  if (!saveAllowList("remove", list, err)) return kFailed;
  out << "removed " << *origin << "\n";
  return kDone;
}

}  // namespace kestrune::host
