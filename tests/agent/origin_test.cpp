// The allow-list's origins: what a user types, and what a browser's Origin header says.
#include "agent/origin.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::agent {
namespace {

TEST(Origin, CanonicalAsBrowsersSerializeIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://bank.example", "https://bank.example"},
      {"HTTPS://Bank.Example/", "https://bank.example"},
      {"https://bank.example:443", "https://bank.example"},
      {"http://bank.example:80", "http://bank.example"},
      {"http://bank.example:443", "http://bank.example:443"},
      {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
      {"http://[::1]:3000", "http://[::1]:3000"},
      {"https://xn--bcher-kva.example", "https://xn--bcher-kva.example"},
  };
  for (const auto& [text, origin] : cases) {
    SCOPED_TRACE(text);
    std::string why;
    EXPECT_EQ(origin, canonicalOrigin(text, why).value_or("refused: " + why));
  }
}

TEST(Origin, RefusesWhatNoBrowserSendsAsAnOrigin) {
  const char* const cases[] = {
      "null",
      "bank.example",
      "file:///tmp/page.html",
      "ftp://bank.example",
      "https://",
      "https://bank.example/login",
      "https://bank.example?x=1",
      "https://bank.example#top",
      "https://user@bank.example",
      "https://user:pw@bank.example",
      "https://bank..example",
      "https://-bank.example",
      "https://bank.example:0",
      "https://bank.example:65536",
      "https://bank.example:08080",
      "https://bank.example:",
      "https://bank.example:80x",
      "https://b\xc3\xbc"
      "cher.example",
      "https://bank example",
      "https://bank.example\n",
      "http://127.1",
      "http://256.0.0.1",
      "http://[::1",
      "http://[bank]",
      "http://[::1]x",
      "https://bank.example\\evil",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    std::string why;
    EXPECT_FALSE(canonicalOrigin(text, why));
    EXPECT_FALSE(why.empty());
  }
  std::string why;
  EXPECT_FALSE(canonicalOrigin("https://" + std::string(600, 'a'), why));
}

TEST(Origin, PlainHttpIsTrustedOnTheLoopbackOnly) {
  const std::pair<std::string, bool> cases[] = {
      {"http://bank.example", true},      {"http://bank.example:8080", true},
      {"http://10.0.0.1", true},          {"http://128.0.0.1", true},
      {"http://127.evil.example", true},  {"http://127.0.0.1.example", true},
      {"http://localhost.example", true}, {"http://[::2]:8080", true},
      {"http://[fe80::1]", true},         {"http://localhost", false},
      {"http://localhost:8000", false},   {"http://127.0.0.1", false},
      {"http://127.1.2.3:8080", false},   {"http://[::1]", false},
      {"http://[::1]:8080", false},       {"https://bank.example", false},
      {"https://10.0.0.1:8443", false},
  };
  for (const auto& [text, beyond] : cases) {
    SCOPED_TRACE(text);
    std::string why;
    const std::optional<std::string> origin = canonicalOrigin(text, why);
    ASSERT_TRUE(origin) << why;
    EXPECT_EQ(beyond, plainHttpBeyondLoopback(*origin));
  }
}

TEST(Origin, FolderNamesAreOneComponentAndDistinct) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"https://bank.example:8443", "https_bank.example_8443"},
      {"http://bank.example", "http_bank.example"},
      {"https://bank.example", "https_bank.example"},
      {"http://[::1]:8080", "http_[__1]_8080"},
      {"http://127.0.0.1:8080", "http_127.0.0.1_8080"},
  };
  std::set<std::string> names;
  for (const auto& [origin, folder] : cases) {
    EXPECT_EQ(originFolderName(origin), folder) << origin;
    EXPECT_EQ(folder.find('/'), std::string::npos);
    names.insert(folder);
  }
  EXPECT_EQ(names.size(), cases.size());
}

}  // namespace
}  // namespace kestrune::agent
