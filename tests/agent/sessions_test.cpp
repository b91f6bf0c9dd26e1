// The session table (limit, owner origin, idle time-out on a clock the test gives) and the
// per-origin request rate.
#include "agent/sessions.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "agent/rate_limit.h"

namespace kestrune::agent {
namespace {

using Clock = SessionTable::Clock;
using namespace std::chrono_literals;

constexpr const char* kBank = "https://bank.example";
constexpr const char* kOther = "https://other.example";
constexpr const char* kThird = "https://third.example";

std::shared_ptr<Session> openOne(SessionTable& table, const std::string& origin,
                                 Clock::time_point now) {
  SessionTable::Opened why = SessionTable::Opened::noRandom;
  std::shared_ptr<Session> displaced;
  auto session = table.open(origin, now, why, displaced);
  EXPECT_EQ(SessionTable::Opened::ok, why);
  EXPECT_FALSE(displaced);
  return session;
}

TEST(Sessions, IdsAreRandomHexAndTheLimitHolds) {
  SessionTable table(4, 600s);
  const auto now = Clock::now();
  std::set<std::string> ids;
  std::string firstOfBank;
  for (const char* origin : {kBank, kBank, kOther, kOther}) {
    const auto session = openOne(table, origin, now);
    ASSERT_TRUE(session);
    if (firstOfBank.empty()) firstOfBank = session->id;
    EXPECT_EQ(32u, session->id.size());
    EXPECT_EQ(std::string::npos, session->id.find_first_not_of("0123456789abcdef"));
    ids.insert(session->id);
  }
  EXPECT_EQ(4u, ids.size());
  SessionTable::Opened why = SessionTable::Opened::ok;
  std::shared_ptr<Session> displaced;
  EXPECT_FALSE(table.open(kThird, now, why, displaced));
  EXPECT_EQ(SessionTable::Opened::full, why);
  EXPECT_FALSE(displaced);
  // A closed session makes room.
  EXPECT_TRUE(table.close(firstOfBank, kBank));
  EXPECT_TRUE(openOne(table, kThird, now));
}

// A page reloaded without closing its session leaves it behind: when the table is full, the
// origin's own session that waited longest gives way, never one in use nor another origin's.
TEST(Sessions, AFullTableDisplacesTheOriginsLongestIdleSession) {
  SessionTable table(4, 600s);
  const auto start = Clock::now();
  const auto oldest = openOne(table, kBank, start);
  const auto other = openOne(table, kOther, start - 1h);
  const auto busy = openOne(table, kBank, start - 2h);
  const auto otherToo = openOne(table, kOther, start - 2h);
  const SessionTable::Use inUse = table.use(busy->id, kBank, start - 2h);

  SessionTable::Opened why = SessionTable::Opened::noRandom;
  std::shared_ptr<Session> displaced;
  const auto fresh = table.open(kBank, start + 1s, why, displaced);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(SessionTable::Opened::ok, why);
  EXPECT_EQ(oldest, displaced);
  EXPECT_TRUE(displaced->ended);
  EXPECT_FALSE(table.use(oldest->id, kBank, start + 2s));
  EXPECT_EQ(4u, table.size());

  // Nothing of the third origin's own is idle in a table full of the others'.
  displaced.reset();
  EXPECT_FALSE(table.open(kThird, start + 3s, why, displaced));
  EXPECT_EQ(SessionTable::Opened::full, why);
  EXPECT_FALSE(displaced);
  EXPECT_TRUE(table.use(other->id, kOther, start + 4s));
  EXPECT_TRUE(table.use(otherToo->id, kOther, start + 4s));
}

// No origin holds more than half of the table (at least one session): the rest stays for the
// others, however often it opens sessions and keeps them busy.
TEST(Sessions, AnOriginHoldsHalfOfTheTableAtMost) {
  struct Case {
    std::size_t size;
    std::size_t share;
  };
  for (const Case c : {Case{1, 1}, Case{2, 1}, Case{4, 2}, Case{5, 2}, Case{8, 4}}) {
    SCOPED_TRACE(c.size);
    SessionTable table(c.size, 600s);
    EXPECT_EQ(c.share, table.originShare());
    const auto now = Clock::now();
    std::vector<SessionTable::Use> inUse;
    for (std::size_t i = 0; i < c.share; ++i) {
      const auto session = openOne(table, kBank, now);
      ASSERT_TRUE(session);
      inUse.push_back(table.use(session->id, kBank, now));
    }
    SessionTable::Opened why = SessionTable::Opened::ok;
    std::shared_ptr<Session> displaced;
    EXPECT_FALSE(table.open(kBank, now, why, displaced));
    EXPECT_EQ(SessionTable::Opened::originFull, why);
    if (c.size > 1) {
      EXPECT_TRUE(openOne(table, kOther, now));
    }
    // A session of its share left idle gives way to the origin's next one.
    inUse.pop_back();
    const auto next = table.open(kBank, now + 1s, why, displaced);
    EXPECT_TRUE(next);
    EXPECT_TRUE(displaced);
  }
}

TEST(Sessions, OneCallRunsAndOneWaitsItsTurn) {
  Session session("id", kBank);
  std::optional<Session::CallTurn> first(std::in_place, session);
  const Session::CallTurn second(session);
  EXPECT_TRUE(*first);
  EXPECT_TRUE(second);
  EXPECT_FALSE(Session::CallTurn(session));
  first.reset();
  EXPECT_TRUE(Session::CallTurn(session));
  EXPECT_EQ(1u, session.calls.load());
}

TEST(Sessions, BelongToTheOriginThatOpenedThem) {
  SessionTable table(4, 600s);
  const auto session = openOne(table, kBank, Clock::now());
  EXPECT_FALSE(table.use(session->id, kOther, Clock::now()));
  EXPECT_FALSE(table.close(session->id, kOther));
  EXPECT_FALSE(table.use("0123456789abcdef0123456789abcdef", kBank, Clock::now()));
  {
    const SessionTable::Use use = table.use(session->id, kBank, Clock::now());
    ASSERT_TRUE(use);
    EXPECT_EQ(session.get(), use.session().get());
  }
  EXPECT_EQ(session, table.close(session->id, kBank));
  EXPECT_FALSE(table.use(session->id, kBank, Clock::now()));
  EXPECT_EQ(0u, table.size());
}

TEST(Sessions, IdleOnesEndButNotOnesInUse) {
  SessionTable table(4, 10s);
  const auto start = Clock::now();
  const auto idle = openOne(table, kBank, start);
  const auto busy = openOne(table, kBank, start);
  const auto fresh = openOne(table, kOther, start + 8s);
  EXPECT_TRUE(table.takeIdle(start + 9s).empty());
  {
    const SessionTable::Use use = table.use(busy->id, kBank, start);
    const auto ended = table.takeIdle(start + 11s);
    ASSERT_EQ(1u, ended.size());
    EXPECT_EQ(idle, ended.front());
  }
  EXPECT_FALSE(table.use(idle->id, kBank, start + 11s));
  // Once no request uses it, the busy one is idle too; the fresh one has time left.
  const auto ended = table.takeIdle(start + 11s);
  ASSERT_EQ(1u, ended.size());
  EXPECT_EQ(busy, ended.front());
  const auto rest = table.takeAll();
  ASSERT_EQ(1u, rest.size());
  EXPECT_EQ(fresh, rest.front());
  EXPECT_EQ(0u, table.size());
}

TEST(Sessions, EndTakesOnlyThatSession) {
  SessionTable table(4, 600s);
  const auto one = openOne(table, kBank, Clock::now());
  const auto two = openOne(table, kBank, Clock::now());
  table.end(one);
  EXPECT_FALSE(table.use(one->id, kBank, Clock::now()));
  EXPECT_TRUE(table.use(two->id, kBank, Clock::now()));
}

TEST(RateLimit, EachOriginHasItsOwnBucket) {
  RateLimiter limiter(5);
  const auto start = Clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(limiter.admit(kBank, start));
  EXPECT_FALSE(limiter.admit(kBank, start));
  EXPECT_TRUE(limiter.admit(kOther, start));
  // A fifth of a second gives one request back; a long pause no more than a second's worth.
  EXPECT_TRUE(limiter.admit(kBank, start + 200ms));
  EXPECT_FALSE(limiter.admit(kBank, start + 200ms));
  int admitted = 0;
  for (int i = 0; i < 20; ++i) admitted += limiter.admit(kBank, start + 60s) ? 1 : 0;
  EXPECT_EQ(5, admitted);
  RateLimiter unlimited(0);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(unlimited.admit(kBank, start));
}

}  // namespace
}  // namespace kestrune::agent
