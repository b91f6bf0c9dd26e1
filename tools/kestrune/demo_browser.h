// `kestrune demo --browser`: the demo's token and authority, the local agent in this process,
// and a page on another loopback port that takes the token through the certificate life
// cycle from the browser, each step a line of the page.
#pragma once

#include <ostream>
#include <string>

namespace kestrune::host {

// runBrowserDemo serves until SIGINT or SIGTERM; 0 then, 1 when something could not be set up
// (the reason is printed). The agent asks the user's consent as `kestrune serve` does.
int runBrowserDemo(const std::string& dir, const std::string& modulePath, std::ostream& out,
                   std::ostream& err);

}  // namespace kestrune::host
