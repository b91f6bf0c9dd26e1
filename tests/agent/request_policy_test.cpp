// Which requests the agent answers from their headers: the Host (DNS rebinding), the Origin
// against the allow-list, the CORS and Private Network Access headers of an allowed origin.
#include "agent/request_policy.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace kestrune::agent {
namespace {

constexpr int kPort = 47011;

std::optional<std::string> header(const HeaderList& headers, const std::string& name) {
  std::optional<std::string> value;
  for (const auto& [key, text] : headers) {
    if (key != name) continue;
    EXPECT_FALSE(value) << name << " appears twice";
    value = text;
  }
  return value;
}

TEST(RequestPolicy, HostMustNameTheAgentOnItsPort) {
  struct Case {
    const char* host;
    bool allowed;
  };
  const Case cases[] = {
      {"127.0.0.1:47011", true},
      {"[::1]:47011", true},
      {"localhost:47011", true},
      {"LocalHost:47011", true},
      {"evil.example:47011", false},
      {"127.0.0.1", false},
      {"127.0.0.1:8080", false},
      {"127.0.0.1:470110", false},
      {"127.0.0.2:47011", false},
      {"::1:47011", false},
      {"localhost.:47011", false},
      {"localhost.evil.example:47011", false},
      {"", false},
      {":47011", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(c.allowed, hostAllowed(c.host, kPort));
  }
}

TEST(RequestPolicy, OnlyAnExactListedOriginIsAllowed) {
  const std::vector<std::string> allowList = {"https://bank.example", "http://127.0.0.1:8080"};
  struct Case {
    std::vector<std::string> headers;
    OriginCheck want;
  };
  const Case cases[] = {
      {{"https://bank.example"}, OriginCheck::allowed},
      {{"http://127.0.0.1:8080"}, OriginCheck::allowed},
      {{}, OriginCheck::absent},
      {{"https://evil.example"}, OriginCheck::refused},
      {{"null"}, OriginCheck::refused},
      {{""}, OriginCheck::refused},
      {{"https://bank.example/"}, OriginCheck::refused},
      {{"https://BANK.example"}, OriginCheck::refused},
      {{"https://bank.example:443"}, OriginCheck::refused},
      {{"http://bank.example"}, OriginCheck::refused},
      {{"https://bank.example.evil.example"}, OriginCheck::refused},
      {{"https://bank.example", "https://bank.example"}, OriginCheck::refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers.empty() ? "(none)" : c.headers.front());
    EXPECT_EQ(c.want, checkOrigin(c.headers, allowList));
  }
  EXPECT_EQ(OriginCheck::refused, checkOrigin({"https://bank.example"}, {}));
}

TEST(RequestPolicy, CorsHeadersNameTheOriginAndVary) {
  const HeaderList headers = corsHeaders("https://bank.example");
  EXPECT_EQ("https://bank.example", header(headers, "Access-Control-Allow-Origin"));
  EXPECT_EQ("Origin", header(headers, "Vary"));
  EXPECT_FALSE(header(headers, "Access-Control-Allow-Credentials"));
}

TEST(RequestPolicy, PreflightGrantsPrivateNetworkOnlyWhenAsked) {
  struct Case {
    std::optional<std::string_view> asked;
    bool granted;
  };
  const Case cases[] = {
      {std::nullopt, false}, {"true", true}, {"TRUE", true}, {"false", false}, {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.asked.value_or("(none)"));
    const HeaderList headers = preflightHeaders("https://bank.example", c.asked);
    EXPECT_EQ("https://bank.example", header(headers, "Access-Control-Allow-Origin"));
    EXPECT_EQ("GET, POST, DELETE", header(headers, "Access-Control-Allow-Methods"));
    EXPECT_EQ("Content-Type", header(headers, "Access-Control-Allow-Headers"));
    EXPECT_EQ("600", header(headers, "Access-Control-Max-Age"));
    EXPECT_EQ(c.granted ? std::optional<std::string>("true") : std::nullopt,
              header(headers, "Access-Control-Allow-Private-Network"));
  }
}

TEST(RequestPolicy, ErrorsCarryTheirCodeAndStatus) {
  struct Case {
    AgentError error;
    const char* code;
    int status;
  };
  const Case cases[] = {
      {AgentError::badJson, "bad-json", 400},
      {AgentError::badCall, "bad-call", 400},
      {AgentError::originRefused, "origin-refused", 403},
      {AgentError::hostRefused, "host-refused", 403},
      {AgentError::consentRefused, "consent-refused", 403},
      {AgentError::callRefused, "call-refused", 403},
      {AgentError::unknownSession, "unknown-session", 404},
      {AgentError::tooLarge, "too-large", 413},
      {AgentError::tooManyRequests, "too-many-requests", 429},
      {AgentError::workerFailed, "worker-failed", 502},
      {AgentError::tooManySessions, "too-many-sessions", 503},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(c.code, errorCode(c.error));
    EXPECT_EQ(c.status, httpStatus(c.error));
    const auto body = nlohmann::json::parse(errorBody(c.error, "why \"quoted\"\n"));
    EXPECT_EQ(c.code, body.at("error"));
    EXPECT_EQ("why \"quoted\"\n", body.at("text"));
  }
}

TEST(RequestPolicy, LogLinesCannotBeForgedNorNameSessions) {
  EXPECT_EQ("https://bank.example", logText("https://bank.example"));
  EXPECT_EQ("a\\x0Akestrune serve: forged", logText("a\nkestrune serve: forged"));
  EXPECT_EQ("\\xC3\\xA9\\x22", logText("\xc3\xa9\""));
  EXPECT_EQ("-", logText(""));
  EXPECT_EQ(203u, logText(std::string(1000, 'a')).size());
  EXPECT_EQ("/v1/session/*/call", logPath("/v1/session/0123456789abcdef0123456789abcdef/call"));
  EXPECT_EQ("/v1/session/*", logPath("/v1/session/0123456789abcdef0123456789abcdef"));
  EXPECT_EQ("/kestrune.js", logPath("/kestrune.js"));
}

}  // namespace
}  // namespace kestrune::agent
