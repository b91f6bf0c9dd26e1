// A p11-kit module file's text as the worker reads it, and the module its settings register.
#include "agent/p11kit_modules.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kestrune::agent {
namespace {

TEST(P11KitModules, ReadsKeyValueLinesAndRefusesAFileWithAnyOtherLine) {
  struct Case {
    const char* text;
    std::optional<ModuleOptions> want;
  } const cases[] = {
      {"", ModuleOptions{}},
      {"# comment only\n\n   \n", ModuleOptions{}},
      {"module: /opt/m.so\r\n", ModuleOptions{{"module", "/opt/m.so"}}},
      {"  module :\t/opt/m.so  \ncritical: yes",
       ModuleOptions{{"module", "/opt/m.so"}, {"critical", "yes"}}},
      {"module: /opt/first.so\nmodule: /opt/second.so\n",
       ModuleOptions{{"module", "/opt/first.so"}}},
      {"url: http://host:80/x\n", ModuleOptions{{"url", "http://host:80/x"}}},
      {"trust-policy:\n", ModuleOptions{{"trust-policy", ""}}},
      {"module: /opt/m.so\nnot an option\n", std::nullopt},
      {": no key\n", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.want, parseModuleOptions(c.text));
  }
}

TEST(P11KitModules, RegistersAnAbsoluteModuleForThisProgramOnly) {
  struct Case {
    ModuleOptions options;
    const char* want;  // null: nothing registered
  } const cases[] = {
      {{{"module", "/opt/m.so"}}, "/opt/m.so"},
      {{{"module", "/opt/m.so"}, {"enable-in", "firefox,kestrune"}}, "/opt/m.so"},
      {{{"module", "/opt/m.so"}, {"enable-in", "firefox"}}, nullptr},
      {{{"module", "/opt/m.so"}, {"disable-in", "kestrune chromium"}}, nullptr},
      {{{"module", "/opt/m.so"}, {"disable-in", "kestrune-agent"}}, "/opt/m.so"},
      {{{"module", ""}}, nullptr},
      {{{"critical", "yes"}}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want != nullptr ? c.want : "(none)");
    const auto path = registeredModulePath(c.options);
    if (c.want == nullptr) {
      EXPECT_EQ(std::nullopt, path);
    } else {
      EXPECT_EQ(c.want, path);
    }
  }
  const auto relative = registeredModulePath({{"module", "libvendor.so"}});
  ASSERT_TRUE(relative.has_value());
  EXPECT_EQ('/', relative->front());
  EXPECT_TRUE(relative->ends_with("/libvendor.so"));
}

}  // namespace
}  // namespace kestrune::agent
