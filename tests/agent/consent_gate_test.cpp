// The gate in front of calls that need consent: allows held per session, refusals per origin
// and kind across sessions, for a back-off that doubles. The clock and the user are the test's.
#include "agent/consent_gate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::agent {
namespace {

using namespace std::chrono_literals;
using Clock = ConsentGate::Clock;

constexpr const char* kBank = "https://bank.example";
constexpr const char* kShop = "https://shop.example";

const com::Method& method(const char* name) {
  const com::Method* found = com::findMethod(name);
  EXPECT_NE(nullptr, found) << name;
  return *found;
}

// A user who answers as told and counts the questions, on a clock that moves when told.
class GateTest : public ::testing::Test {
 protected:
  GateTest()
      : gate_([this] { return now_; },
              [this](const std::string& question) {
                ++asked_;
                lastQuestion_ = question;
                return answer_;
              }) {}

  // call decides a call in a fresh session (a page that reopened one) unless one is given.
  ConsentDecision call(const char* origin, const char* name, std::set<ConsentKind>* session = {},
                       const char* stakes = "") {
    std::set<ConsentKind> fresh;
    return gate_.decide(session != nullptr ? *session : fresh, origin, method(name), stakes);
  }

  Clock::time_point now_ = Clock::time_point() + 1000h;
  Consent answer_ = Consent::refused;
  std::atomic<int> asked_ = 0;
  std::string lastQuestion_;
  ConsentGate gate_;
};

TEST_F(GateTest, RefusalsBackOffDoublingUpToADay) {
  struct BackOff {
    std::chrono::minutes length;
    const char* text;
  };
  const BackOff backOffs[] = {
      {1min, "1 minute"},
      {2min, "2 minutes"},
      {4min, "4 minutes"},
      {8min, "8 minutes"},
      {16min, "16 minutes"},
      {32min, "32 minutes"},
      {64min, "1 hour 4 minutes"},
      {128min, "2 hours 8 minutes"},
      {256min, "4 hours 16 minutes"},
      {512min, "8 hours 32 minutes"},
      {1024min, "17 hours 4 minutes"},
      {24h, "24 hours"},
      {24h, "24 hours"},
      {24h, "24 hours"},
  };
  int refusals = 0;
  for (const BackOff& backOff : backOffs) {
    SCOPED_TRACE(testing::Message() << "refusal " << ++refusals);
    const ConsentDecision refused = call(kBank, "sign");
    EXPECT_FALSE(refused.allowed);
    EXPECT_EQ(refusals, asked_);
    EXPECT_EQ(std::string("the user refused the call; asking again is possible in ") + backOff.text,
              refused.text);
    // A second before the end, in new sessions: refused without a question.
    now_ += backOff.length - 1s;
    const ConsentDecision held = call(kBank, "signB64");
    EXPECT_FALSE(held.allowed);
    EXPECT_EQ(refusals, asked_);
    EXPECT_EQ(
        "the user refused to let this origin sign with the user's key; asking again is possible "
        "in 1 second",
        held.text);
    now_ += 1s;
  }
}

TEST_F(GateTest, AnAllowEndsTheSeriesAndHoldsForItsSessionOnly) {
  call(kBank, "sign");
  now_ += 1min;
  call(kBank, "sign");
  now_ += 2min;
  ASSERT_EQ(2, asked_);
  answer_ = Consent::allowed;
  std::set<ConsentKind> session;
  EXPECT_TRUE(call(kBank, "sign", &session).allowed);
  EXPECT_EQ(3, asked_);
  EXPECT_EQ(std::set<ConsentKind>{ConsentKind::sign}, session);
  // The session's allow covers its further calls of the kind, without a question; another
  // kind is asked about.
  EXPECT_TRUE(call(kBank, "FEDIMessageSign", &session).allowed);
  EXPECT_EQ(3, asked_);
  EXPECT_TRUE(call(kBank, "setPassword", &session).allowed);
  EXPECT_EQ(4, asked_);
  // Another session asks again; a refusal now starts over at a minute.
  answer_ = Consent::refused;
  const ConsentDecision refused = call(kBank, "sign");
  EXPECT_EQ(5, asked_);
  EXPECT_EQ("the user refused the call; asking again is possible in 1 minute", refused.text);
  // The session allowed before keeps its allow.
  EXPECT_TRUE(call(kBank, "sign", &session).allowed);
  EXPECT_EQ(5, asked_);
}

TEST_F(GateTest, RefusalsHoldPerOriginAndKind) {
  EXPECT_FALSE(call(kBank, "sign").allowed);
  EXPECT_EQ(1, asked_);
  struct Case {
    const char* origin;
    const char* method;
    bool asked;
  };
  const Case cases[] = {
      {kBank, "FEDIMessageSignWithCSP_Update", false},  // signs as well
      {kBank, "makeRequestCert", false},                // signs a request
      {kBank, "checkPassword", true},
      {kBank, "queryCertificate", true},
      {kShop, "sign", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.origin << " " << c.method);
    const int before = asked_;
    EXPECT_FALSE(call(c.origin, c.method).allowed);
    EXPECT_EQ(c.asked ? before + 1 : before, asked_);
  }
}

TEST_F(GateTest, CallsWithoutConsentPassWhileRefusalsHold) {
  for (const char* name : {"sign", "checkPassword", "queryCertificate", "newCertificate"}) {
    call(kBank, name);
  }
  const int asked = asked_;
  for (const char* name : {"getSID1", "getCert", "queryCRL", "queryB64Certificate", "loadLib",
                           "close", "FEDIMessageSignWithCSP_Final"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(call(kBank, name).allowed);
  }
  EXPECT_EQ(asked, asked_);
}

// Nobody refused when nobody could be asked: the next call tries again, and no back-off began.
TEST_F(GateTest, NoAnswerIsNoRefusal) {
  answer_ = Consent::unavailable;
  const ConsentDecision first = call(kBank, "sign");
  EXPECT_FALSE(first.allowed);
  EXPECT_EQ("the user can't be asked for consent", first.text);
  EXPECT_FALSE(call(kBank, "sign").allowed);
  EXPECT_EQ(2, asked_);
  answer_ = Consent::allowed;
  EXPECT_TRUE(call(kBank, "sign").allowed);
}

TEST_F(GateTest, TheQuestionCarriesTheStakes) {
  call(kBank, "FEDIMessageSign", nullptr, "message INVOIC, reference 42, 120 bytes");
  EXPECT_EQ(
      "https://bank.example wants to sign with your key (FEDIMessageSign): message INVOIC, "
      "reference 42, 120 bytes. Allow for this session?",
      lastQuestion_);
}

// Pages of one origin calling at once from many sessions: whichever asks first, its refusal
// answers all the others, and the user sees one question.
TEST_F(GateTest, ConcurrentCallsGetOneQuestion) {
  std::vector<std::thread> pages;
  std::atomic<int> refused = 0;
  for (int i = 0; i < 8; ++i) {
    pages.emplace_back([this, &refused] {
      if (!call(kBank, "sign").allowed) ++refused;
    });
  }
  for (std::thread& page : pages) page.join();
  EXPECT_EQ(8, refused);
  EXPECT_EQ(1, asked_);
}

TEST(ConsentWait, TextRoundsUp) {
  struct Case {
    Clock::duration left;
    const char* want;
  };
  const Case cases[] = {
      {1ms, "1 second"},          {1s, "1 second"},
      {59s, "59 seconds"},        {59s + 1ms, "1 minute"},
      {60s, "1 minute"},          {61s, "2 minutes"},
      {59min, "59 minutes"},      {60min, "1 hour"},
      {61min, "1 hour 1 minute"}, {125min, "2 hours 5 minutes"},
      {24h, "24 hours"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(c.want, waitText(c.left));
  }
}

}  // namespace
}  // namespace kestrune::agent
