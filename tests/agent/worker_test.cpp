#include "agent/worker.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kestrune::agent {
namespace {

using Json = nlohmann::json;

// Every line gets one answer, in order: a parent waiting for each answer never hangs on a
// line the worker skipped.
TEST(Worker, AnswersEveryLineAndGoesOnPastAnOverlongOne) {
  std::string input = std::string(64 * 1024 * 1024 + 1, '[') + "\n";
  input += "[\"getErrorCode\"]\n\n# not a comment here\n[\"loadLib\", \"/lib/x.so\"]\r\n";
  input += "[\"getErrorCode\"]";  // the last line may lack its line feed
  std::istringstream in(std::move(input));
  std::ostringstream out;
  EXPECT_EQ(0, runWorker(in, out, WebPolicy{}));

  std::vector<Json> answers;
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) answers.push_back(Json::parse(line));
  ASSERT_EQ(6u, answers.size());
  EXPECT_EQ("bad-call", answers[0].value("kind", ""));
  EXPECT_EQ((Json{{"method", "getErrorCode"}, {"result", 0}, {"lastError", 0}}), answers[1]);
  EXPECT_EQ("bad-call", answers[2].value("kind", ""));
  EXPECT_EQ("bad-call", answers[3].value("kind", ""));
  EXPECT_EQ("refused", answers[4].value("kind", ""));
  EXPECT_EQ(answers[1], answers[5]);
}

// A line's shape is checked before it is built: too many values or nested ones are a bad call
// whatever they hold.
TEST(Worker, RefusesCallsOfTooManyOrNestedValuesUnbuilt) {
  std::string many = "[\"sign\"";
  for (int i = 0; i < 100000; ++i) many += ",1";
  many += "]";
  const std::string lines[] = {
      many,
      R"(["sign", ["nested"]])",
      R"(["sign", {"data": "x"}])",
      R"({"method": "getErrorCode"})",
      R"(["getErrorCode", 1, 2, 3, 4, 5, 6, 7])",
      "[\"getErrorCode\"",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line.substr(0, 40));
    std::istringstream in(line + "\n");
    std::ostringstream out;
    EXPECT_EQ(0, runWorker(in, out, WebPolicy{}));
    const Json answer = Json::parse(out.str());
    EXPECT_EQ("bad-call", answer.value("kind", ""));
  }
}

// A number too large for a double is an exception of its own to the JSON parser, not a parse
// error: the line is a bad call like any other that isn't JSON, and the worker goes on.
TEST(Worker, ANumberBeyondADoubleIsABadCallAndTheWorkerGoesOn) {
  const std::string lines[] = {
      R"(["setCurrentSlot", 9e308])",
      R"(["setCurrentSlot", -1e400])",
      R"(["checkPassword", 1e99999])",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    std::istringstream in(line + "\n[\"getErrorCode\"]\n");
    std::ostringstream out;
    EXPECT_EQ(0, runWorker(in, out, WebPolicy{}));
    std::istringstream answers(out.str());
    std::string answer;
    ASSERT_TRUE(std::getline(answers, answer));
    const Json fault = Json::parse(answer);
    EXPECT_EQ("bad-call", fault.value("kind", ""));
    EXPECT_EQ("not valid JSON: a number outside the range of a double", fault.value("fault", ""));
    ASSERT_TRUE(std::getline(answers, answer));
    EXPECT_EQ((Json{{"method", "getErrorCode"}, {"result", 0}, {"lastError", 0}}),
              Json::parse(answer));
  }
}

}  // namespace
}  // namespace kestrune::agent
