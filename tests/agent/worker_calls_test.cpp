// A page's call as the worker gets it, and the worker's answers as the page gets them.
#include "agent/worker_calls.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

namespace kestrune::agent {
namespace {

TEST(WorkerCalls, CallBecomesTheWorkersLine) {
  struct Case {
    const char* body;
    const char* line;
  };
  const Case cases[] = {
      {R"({"method": "getSID1", "args": []})", R"(["getSID1"])"},
      {R"({"method": "getsid1"})", R"(["getSID1"])"},
      {R"({"args": ["123456"], "method": "checkPassword"})", R"(["checkPassword","123456"])"},
      {R"({"method": "setTestVersion", "args": [1]})", R"(["setTestVersion",1])"},
      {R"({"method": "makeCard", "args": ["U\u00e9", "O\"1"]})",
       "[\"makeCard\",\"U\xc3\xa9\",\"O\\\"1\"]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    CallLine call;
    AgentError error = AgentError::badJson;
    std::string why;
    ASSERT_TRUE(callLine(c.body, call, error, why)) << why;
    EXPECT_EQ(c.line, call.line);
    ASSERT_NE(nullptr, call.method);
  }
}

// The stakes are read while the parsed call is at hand; a secret is not among them.
TEST(WorkerCalls, CallCarriesItsStakes) {
  struct Case {
    const char* body;
    const char* stakes;
  };
  const Case cases[] = {
      {R"({"method": "getSID1"})", ""},
      {R"({"method": "checkPassword", "args": ["secret-pin"]})", ""},
      {R"({"method": "fedimessagesign", "args": ["UNH+7+INVOIC:D'"]})",
       "message INVOIC, reference 7, 15 bytes"},
      {R"({"method": "FEDIMessageSignWithCSP", "args": ["UNH+7+INVOIC:D'", "CN=me", "", "",
          "secret-pin", 0, 0]})",
       "message INVOIC, reference 7, 15 bytes"},
      {R"({"method": "queryCertificate", "args": ["https://ca.example/", "CA", "FEDI", "1"]})",
       "the authority at ca.example"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    CallLine call;
    AgentError error = AgentError::badJson;
    std::string why;
    ASSERT_TRUE(callLine(c.body, call, error, why)) << why;
    EXPECT_EQ(c.stakes, call.stakes);
  }
}

TEST(WorkerCalls, OtherShapesAreRefusedWithoutQuotingArguments) {
  struct Case {
    const char* body;
    AgentError error;
  };
  const Case cases[] = {
      {"", AgentError::badJson},
      {"{", AgentError::badJson},
      {R"({"method": "checkPassword", "args": ["secret-pin"]} x)", AgentError::badJson},
      {"\"\xff\"", AgentError::badJson},
      {"[\"getSID1\"]", AgentError::badCall},
      {R"({"args": []})", AgentError::badCall},
      {R"({"method": 5})", AgentError::badCall},
      {R"({"method": "noSuchMethod"})", AgentError::badCall},
      {R"({"method": "checkPassword", "args": "secret-pin"})", AgentError::badCall},
      {R"({"method": "checkPassword", "args": [["secret-pin"]]})", AgentError::badCall},
      {R"({"method": "checkPassword", "args": [{"pin": "secret-pin"}]})", AgentError::badCall},
      {R"({"method": "checkPassword", "args": [null]})", AgentError::badCall},
      {R"({"method": "checkPassword", "args": ["secret-pin"], "extra": 1})", AgentError::badCall},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    CallLine call;
    AgentError error = AgentError::tooLarge;
    std::string why;
    EXPECT_FALSE(callLine(c.body, call, error, why));
    EXPECT_EQ(c.error, error);
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(std::string::npos, why.find("secret-pin"));
  }
  // Nesting as deep as the client likes neither crashes nor passes.
  const std::string deep = R"({"method": "getSID1", "args": [)" + std::string(100000, '[') +
                           std::string(100000, ']') + "]}";
  CallLine call;
  AgentError error = AgentError::tooLarge;
  std::string why;
  EXPECT_FALSE(callLine(deep, call, error, why));
}

TEST(WorkerCalls, AnswersAreSortedByTheirShape) {
  using Kind = WorkerAnswer::Kind;
  struct Case {
    const char* line;
    Kind kind;
    const char* fault;
  };
  const Case cases[] = {
      {R"({"method":"getSID1","result":"U001","lastError":0,"messages":[]})", Kind::answer, ""},
      {R"({"fault":"loadLib takes a module name","kind":"refused"})", Kind::refused,
       "loadLib takes a module name"},
      {R"({"fault":"no such method","kind":"bad-call"})", Kind::badCall, "no such method"},
      {R"({"fault":"x","kind":"other"})", Kind::broken, "x"},
      {R"({"fault":5,"kind":"refused"})", Kind::broken, ""},
      {R"({"result":"U001"})", Kind::broken, ""},
      {R"({"method":"getSID1","result":"U0)", Kind::broken, ""},
      {R"(["getSID1"])", Kind::broken, ""},
      {"not json", Kind::broken, ""},
      {"", Kind::broken, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const WorkerAnswer answer = readWorkerAnswer(c.line);
    EXPECT_EQ(c.kind, answer.kind);
    EXPECT_EQ(c.fault, answer.fault);
  }
}

}  // namespace
}  // namespace kestrune::agent
