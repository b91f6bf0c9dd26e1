// kestrune origins list [--json]|add [--insecure]|remove: the allow-list of the local agent, the
// only web origins whose pages it answers ($XDG_CONFIG_HOME/kestrune/origins.json).
#pragma once

#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

namespace kestrune::host {

class OriginCommands {
 public:
  // OriginCommands adds the "origins" command and its three subcommands to app.
  explicit OriginCommands(CLI::App& app);
  bool parsed() const { return origins_->parsed(); }
  // run carries out the parsed subcommand: 0 done, 1 the operation failed (origins.json is
  // then as it was), 2 a usage error; what went wrong as one line on err.
  int run(std::ostream& out, std::ostream& err) const;

 private:
  int list(std::ostream& out, std::ostream& err) const;
  int add(std::ostream& out, std::ostream& err) const;
  int remove(std::ostream& out, std::ostream& err) const;

  CLI::App* origins_ = nullptr;
  CLI::App* list_ = nullptr;
  CLI::App* add_ = nullptr;
  CLI::App* remove_ = nullptr;
  std::string origin_;
  bool insecure_ = false;  // add: a plain-HTTP origin beyond the loopback all the same
  bool json_ = false;      // list: a JSON array
};

}  // namespace kestrune::host
