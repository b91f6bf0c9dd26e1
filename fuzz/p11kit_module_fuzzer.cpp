// A p11-kit module file from any text, as the worker reads the modules a page may load by
// name: no crash; what is read is keys and values trimmed of blanks, each on one line, that
// read back the same when written as "key: value" lines; a registered module is an absolute
// path, the file's own when it gives one.
#include <cstdint>
#include <string>
#include <string_view>

#include "agent/p11kit_modules.h"
#include "fuzz/fuzz_require.h"

namespace {

void require(bool condition, const char* what) {
  kestrune::fuzz::require("p11kit_module_fuzzer", condition, what);
}

bool trimmedLine(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r";
  if (text.find('\n') != std::string_view::npos) return false;
  return text.empty() || (kBlanks.find(text.front()) == std::string_view::npos &&
                          kBlanks.find(text.back()) == std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto options = kestrune::agent::parseModuleOptions(text);
  if (!options) return 0;

  std::string written;
  for (const auto& [key, value] : *options) {
    require(!key.empty() && key.find(':') == std::string::npos && key.front() != '#',
            "a key that is empty, holds a colon or starts a comment");
    require(trimmedLine(key) && trimmedLine(value), "a key or value not trimmed to one line");
    written += key + ": " + value + "\n";
  }
  require(kestrune::agent::parseModuleOptions(written) == options,
          "the options do not read back as they were written");

  if (const auto path = kestrune::agent::registeredModulePath(*options)) {
    const std::string& module = options->at("module");
    require(!path->empty() && path->front() == '/', "a registered module path is not absolute");
    require(module.front() != '/' || *path == module, "an absolute module path was changed");
  }
  return 0;
}
