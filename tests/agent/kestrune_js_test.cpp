// kestrune.js carries its own copy of the control's interface, so a page's wrong call is
// refused before it leaves the browser. These tests keep that copy equal to the control's
// table, and the built-in copy of the file equal to the file.
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "agent/web_assets.h"
#include "com/method_table.h"

namespace kestrune::agent {
namespace {

constexpr std::string_view kBegin = "// BEGIN METHOD TABLE\n";
constexpr std::string_view kEnd = "// END METHOD TABLE\n";

std::string readSourceFile(const std::string& relative) {
  std::ifstream in(std::string(KESTRUNE_WEB_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string quotedKind(com::Kind kind) {
  return "\"" + std::string(com::kindName(kind)) + "\"";
}

// expectedTable is the block as the control's table gives it: name: [DISPID, [parameter
// kinds], result kind], one method a line, in the interface's order.
std::string expectedTable() {
  std::string block = "const METHODS = {\n";
  for (const com::Method& method : com::methods()) {
    block += "  " + std::string(method.name) + ": [" + std::to_string(method.dispid) + ", [";
    bool first = true;
    for (const com::Parameter& parameter : method.params()) {
      if (!first) block += ", ";
      block += quotedKind(parameter.kind);
      first = false;
    }
    block += "], " + quotedKind(method.result.kind) + "],\n";
  }
  return block + "};\n";
}

TEST(KestruneJs, MethodTableIsTheControls) {
  const std::string script = readSourceFile("kestrune.js");
  ASSERT_FALSE(script.empty()) << "cannot read agent/web/kestrune.js";
  const std::size_t begin = script.find(kBegin);
  const std::size_t end = script.find(kEnd);
  ASSERT_NE(begin, std::string::npos) << "kestrune.js lacks the line " << kBegin;
  ASSERT_NE(end, std::string::npos) << "kestrune.js lacks the line " << kEnd;
  ASSERT_LT(begin, end);
  const std::size_t from = begin + kBegin.size();
  EXPECT_EQ(script.substr(from, end - from), expectedTable())
      << "agent/web/kestrune.js's method table differs from the control's; put this between "
         "the marker lines:\n"
      << expectedTable();
}

TEST(KestruneJs, BuiltInFilesAreTheSources) {
  struct Served {
    const char* path;
    const char* source;
    const char* contentType;
  };
  const Served files[] = {
      {"/kestrune.js", "kestrune.js", "text/javascript; charset=utf-8"},
      {"/demo/index.html", "demo/index.html", "text/html; charset=utf-8"},
      {"/demo/demo.js", "demo/demo.js", "text/javascript; charset=utf-8"},
      {"/demo/demo.css", "demo/demo.css", "text/css; charset=utf-8"},
  };
  for (const Served& file : files) {
    const auto asset = webAsset(file.path);
    ASSERT_TRUE(asset.has_value()) << file.path;
    EXPECT_EQ(asset->contentType, file.contentType) << file.path;
    EXPECT_EQ(asset->body, readSourceFile(file.source)) << file.path;
  }
}

TEST(KestruneJs, OtherPathsAreNotServed) {
  for (const char* path : {"", "/", "kestrune.js", "/kestrune.js/", "/KESTRUNE.JS", "/demo/",
                           "/demo/../kestrune.js", "/demo.json"}) {
    EXPECT_FALSE(webAsset(path).has_value()) << path;
  }
}

}  // namespace
}  // namespace kestrune::agent
