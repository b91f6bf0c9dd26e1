// What a web page may ask of the control beyond what a local program may: the methods a page
// calls run in the user's name, so the arguments that reach the machine itself are narrowed.
//   loadLib   a module name, registered with p11-kit (as `p11-kit list-modules` names it) or
//             listed in agent.json, never a path a page chose: the name becomes the path
//   files     the file arguments (loadCACert, loadCert, makeRequestCert, getCert, getNewCert)
//             name a regular file inside the origin's own folder: a relative name, no "..",
//             no symbolic link anywhere, no second name; the file is opened there before the
//             call and the argument becomes a path to what was opened
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "agent/call_files.h"
#include "com/method_table.h"
#include "platform/file_beneath.h"

namespace kestrune::agent {

struct WebPolicy {
  platform::FileDescriptor originFolder;       // opened once; file arguments open beneath it
  std::map<std::string, std::string> modules;  // name -> module path: p11-kit's and agent.json's
};

// registeredModules returns the PKCS#11 modules p11-kit knows (name -> module path), as its
// configuration gives them.
std::map<std::string, std::string> registeredModules();

// applyWebPolicy checks a call's arguments (the JSON values after the method name) and rewrites
// the ones it resolves (module names, file names) in place; the files it opens stay in files
// until the caller finishes them after the call. False with the reason in why, which never
// quotes a secret argument.
bool applyWebPolicy(const WebPolicy& policy, const com::Method& method,
                    nlohmann::ordered_json& args, CallFiles& files, std::string& why);

}  // namespace kestrune::agent
