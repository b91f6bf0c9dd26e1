// Asking the user a yes-or-no question outside any web page: the local agent's consent before
// a page uses the token. Linux only, like the agent.
#pragma once

#include <string>

namespace kestrune::platform {

enum class PromptAnswer { yes, no, unavailable };

// askOnTerminal asks on the controlling terminal (/dev/tty) when the process has one and waits
// for "y"/"yes" or anything else (no); unavailable without a terminal.
PromptAnswer askOnTerminal(const std::string& question);

// askOnDesktop asks with zenity or kdialog (the first installed) when a display is there
// (DISPLAY or WAYLAND_DISPLAY); unavailable when neither applies. The question is passed as
// one argument, never through a shell.
PromptAnswer askOnDesktop(const std::string& title, const std::string& question);

}  // namespace kestrune::platform
