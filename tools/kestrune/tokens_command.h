// kestrune tokens [MODULE] [--json]: the slots of a PKCS#11 module and the tokens in them, in
// the order setCurrentSlot numbers them; without MODULE, of every module p11-kit registers.
#pragma once

#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

namespace kestrune::host {

class TokensCommand {
 public:
  // TokensCommand adds the "tokens" command to app.
  explicit TokensCommand(CLI::App& app);
  bool parsed() const { return tokens_->parsed(); }
  // run lists the slots: 0 every module listed, 1 a module could not be loaded or asked (the
  // reason on err; the others are still listed).
  int run(std::ostream& out, std::ostream& err) const;

 private:
  CLI::App* tokens_ = nullptr;
  std::string module_;
  bool json_ = false;
};

}  // namespace kestrune::host
