// kestrune provider list|add|remove: the key providers CryptAcquireContextA answers to by name,
// the built-in software provider and the PKCS#11 tokens named in the user's providers.json.
#pragma once

#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

namespace kestrune::host {

class ProviderCommands {
 public:
  // ProviderCommands adds the "provider" command and its three subcommands to app.
  explicit ProviderCommands(CLI::App& app);
  bool parsed() const { return provider_->parsed(); }
  // run carries out the parsed subcommand: 0 done, 1 the operation failed (providers.json is
  // then as it was), 2 a usage error; what went wrong as one line on err.
  int run(std::ostream& out, std::ostream& err) const;

 private:
  int list(std::ostream& out, std::ostream& err) const;
  int listAsJson(std::ostream& out, std::ostream& err) const;
  int add(std::ostream& err) const;
  int remove(std::ostream& err) const;

  CLI::App* provider_ = nullptr;
  CLI::App* list_ = nullptr;
  CLI::App* add_ = nullptr;
  CLI::App* remove_ = nullptr;
  std::string name_;
  std::string module_;
  std::string token_;
  bool force_ = false;
  bool json_ = false;
};

}  // namespace kestrune::host
