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
  EXPECT_EQ(0, runWorker(in, out, WebPolicy{"/nonexistent", {}}));

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

}  // namespace
}  // namespace kestrune::agent
