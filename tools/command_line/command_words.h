// The conventions the project's command lines share with the platform's tools: `--version`
// prints "PROGRAM 1.0.0" and exits 0; a command word that names no command is named back,
// with the nearest known one when it is close, and exits 2; a command given without the
// subcommand it needs prints the short usage and exits 2.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

namespace kestrune::command_line {

inline constexpr int kUsageError = 2;

// projectVersion returns the project's version, "1.0.0".
std::string_view projectVersion();

// addVersionFlag gives app a --version flag printing "PROGRAM VERSION" on standard output.
void addVersionFlag(CLI::App& app);

// checkCommandWords follows args (argv without the program's name) through app's commands
// before CLI11 parses them. It returns nullopt when they reach a command that takes them (or
// ask for help or the version); otherwise it says on err what is wrong with the short usage
// and returns kUsageError: an unknown command word, an option where a command is wanted, or
// no command at all.
std::optional<int> checkCommandWords(const CLI::App& app, std::span<const char* const> args,
                                     std::ostream& err);

// shortUsage returns the usage lines of a command that needs a subcommand; path is how it is
// called ("kestrune store").
std::string shortUsage(const CLI::App& command, const std::string& path);

// editDistance counts the insertions, deletions, substitutions and swaps of neighbours that
// turn a into b, without regard to ASCII case.
std::size_t editDistance(std::string_view a, std::string_view b);

// nearestName returns the name closest to word when it is close enough to be a slip (one edit
// for names of up to four letters, two for longer ones); nullopt otherwise.
std::optional<std::string> nearestName(std::string_view word,
                                       const std::vector<std::string>& names);

// printable returns a word from the command line fit to be shown: bytes outside printable
// ASCII as \xNN, at most 64 bytes of it.
std::string printable(std::string_view word);

}  // namespace kestrune::command_line
