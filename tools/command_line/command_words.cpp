#include "tools/command_line/command_words.h"

#include <algorithm>
#include <cstdio>

namespace kestrune::command_line {
namespace {

char lowered(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

std::vector<const CLI::App*> subcommandsOf(const CLI::App& command) {
  return command.get_subcommands([](const CLI::App*) { return true; });
}

// visibleNames lists the commands help shows; hidden ones (an empty group) are accepted but
// never offered.
std::vector<std::string> visibleNames(const CLI::App& command) {
  std::vector<std::string> names;
  for (const CLI::App* sub : subcommandsOf(command)) {
    if (!sub->get_group().empty()) names.push_back(sub->get_name());
  }
  return names;
}

const CLI::App* findSubcommand(const CLI::App& command, std::string_view word) {
  for (const CLI::App* sub : subcommandsOf(command)) {
    if (sub->check_name(std::string(word))) return sub;
  }
  return nullptr;
}

}  // namespace

std::string_view projectVersion() {
  return KESTRUNE_VERSION;
}

void addVersionFlag(CLI::App& app) {
  app.set_version_flag("--version", app.get_name() + " " + std::string(projectVersion()),
                       "Print the program's name and version, and exit");
}

std::string printable(std::string_view word) {
  constexpr std::size_t kShown = 64;
  std::string text;
  for (const char c : word.substr(0, kShown)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      text.push_back(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", unsigned{byte});
      text += escaped;
    }
  }
  if (word.size() > kShown) text += "...";
  return text;
}

std::size_t editDistance(std::string_view a, std::string_view b) {
  // Optimal string alignment: three rows of the table are enough.
  std::vector<std::size_t> before(b.size() + 1);
  std::vector<std::size_t> previous(b.size() + 1);
  std::vector<std::size_t> current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const bool same = lowered(a[i - 1]) == lowered(b[j - 1]);
      current[j] =
          std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && lowered(a[i - 1]) == lowered(b[j - 2]) &&
          lowered(a[i - 2]) == lowered(b[j - 1])) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[b.size()];
}

std::optional<std::string> nearestName(std::string_view word,
                                       const std::vector<std::string>& names) {
  std::optional<std::string> nearest;
  std::size_t best = 0;
  for (const std::string& name : names) {
    const std::size_t allowed = name.size() <= 4 ? 1 : 2;
    const std::size_t distance = editDistance(word, name);
    if (distance > allowed || (nearest && distance >= best)) continue;
    nearest = name;
    best = distance;
  }
  return nearest;
}

std::string shortUsage(const CLI::App& command, const std::string& path) {
  std::string commands;
  for (const std::string& name : visibleNames(command)) {
    if (!commands.empty()) commands += ", ";
    commands += name;
  }
  return "Usage: " + path + " COMMAND [OPTIONS] [ARGUMENTS]\nCommands: " + commands + "\n'" + path +
         " --help' describes them, '" + path + " COMMAND --help' one of them.\n";
}

std::optional<int> checkCommandWords(const CLI::App& app, std::span<const char* const> args,
                                     std::ostream& err) {
  const CLI::App* command = &app;
  std::string path = app.get_name();
  for (const char* arg : args) {
    if (subcommandsOf(*command).empty()) return std::nullopt;  // the command takes the rest
    const std::string_view word = arg;
    if (word == "--") return std::nullopt;
    if (word.starts_with('-')) {
      // The options a command with subcommands has are --help (and --version at the top).
      const std::string name(word.substr(0, word.find('=')));
      if (command->get_option_no_throw(name) != nullptr) return std::nullopt;
      err << path << ": unknown option '" << printable(word) << "'; a command is wanted here\n"
          << shortUsage(*command, path);
      return kUsageError;
    }
    const CLI::App* sub = findSubcommand(*command, word);
    if (sub == nullptr) {
      err << path << ": unknown command '" << printable(word) << "'";
      if (const auto nearest = nearestName(word, visibleNames(*command))) {
        err << "; did you mean '" << *nearest << "'?";
      }
      err << "\n" << shortUsage(*command, path);
      return kUsageError;
    }
    command = sub;
    path += " " + sub->get_name();
  }
  if (subcommandsOf(*command).empty()) return std::nullopt;
  err << shortUsage(*command, path);
  return kUsageError;
}

}  // namespace kestrune::command_line
