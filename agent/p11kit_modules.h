// p11-kit's module configuration files as the worker reads them (agent/p11kit_modules.cpp):
// the text of one file, and what one module's merged settings register. registeredModules
// (agent/web_policy.h) reads the files themselves.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::agent {

using ModuleOptions = std::map<std::string, std::string>;

// parseModuleOptions reads a module file's "key: value" lines ('#' starts a comment line; an
// earlier key wins over a repeated one); nullopt for a file with any other line, which p11-kit
// ignores whole.
std::optional<ModuleOptions> parseModuleOptions(std::string_view text);

// registeredModulePath returns the absolute path of the module that a module's merged options
// register for this program: "module:" made absolute inside p11-kit's module folder; nullopt
// when there is none or the options keep the module from this program.
std::optional<std::string> registeredModulePath(const ModuleOptions& options);

}  // namespace kestrune::agent
