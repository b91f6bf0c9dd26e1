// kestrune store list|add|remove: the system certificate stores (My, Root, CA, AddressBook,
// Request) of the current user or, with --location LocalMachine, of the local machine, through
// CryptoAPI.
#pragma once

#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

namespace kestrune::host {

class StoreCommands {
 public:
  // StoreCommands adds the "store" command and its three subcommands to app.
  explicit StoreCommands(CLI::App& app);
  bool parsed() const { return store_->parsed(); }
  // run carries out the parsed subcommand: 0 done, 1 the operation failed, 2 a usage error;
  // what went wrong as one line on err.
  int run(std::ostream& out, std::ostream& err) const;

 private:
  int list(std::ostream& out, std::ostream& err) const;
  int add(std::ostream& out, std::ostream& err) const;
  int remove(std::ostream& err) const;

  CLI::App* store_ = nullptr;
  CLI::App* list_ = nullptr;
  CLI::App* add_ = nullptr;
  CLI::App* remove_ = nullptr;
  std::string storeName_;
  std::string certificateFile_;
  std::string thumbprint_;
  std::string provider_;
  std::string container_;
  unsigned keySpec_ = 1;  // AT_KEYEXCHANGE
  bool machine_ = false;
  bool json_ = false;
};

}  // namespace kestrune::host
