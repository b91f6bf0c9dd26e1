// The agent's sessions: each belongs to the origin that opened it and runs its calls, one at
// a time, in a control process of its own. The table bounds how many there are and ends the
// ones left idle.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/consent.h"
#include "platform/child_process.h"

namespace kestrune::agent {

struct Session {
  Session(std::string id, std::string origin) : id(std::move(id)), origin(std::move(origin)) {}
  // The last owner ends the session's process (its input closed first: the control logs out
  // and finalizes the token before it exits).
  ~Session();
  Session(const Session&) = delete;
  // stopWorker ends the session's process (its input closed, then a short grace before it is
  // killed); the caller holds callMutex or is the last owner.
  void stopWorker();
  Session& operator=(const Session&) = delete;

  const std::string id;
  const std::string origin;

  // The process failed, the session was closed or left idle: no more calls.
  std::atomic<bool> ended{false};

  // CallTurn is a call's place in the session: one call runs and one more may wait its turn;
  // false when both places are taken.
  class CallTurn {
   public:
    explicit CallTurn(Session& session);
    ~CallTurn();
    CallTurn(const CallTurn&) = delete;
    CallTurn& operator=(const CallTurn&) = delete;
    explicit operator bool() const { return taken_; }

   private:
    Session& session_;
    bool taken_ = false;
  };
  static constexpr unsigned kCallPlaces = 2;
  std::atomic<unsigned> calls{0};

  // Held for the whole of a call: a second call of the same session waits for the first.
  // It guards everything below.
  std::mutex callMutex;
  std::unique_ptr<platform::ChildProcess> worker;
  std::set<ConsentKind> allowed;  // what the user allowed for this session
};

class SessionTable {
 public:
  using Clock = std::chrono::steady_clock;

  SessionTable(std::size_t maxSessions, Clock::duration idleTimeout)
      : maxSessions_(maxSessions), idleTimeout_(idleTimeout) {}

  enum class Opened { ok, full, originFull, noRandom };
  // open adds a session of origin, its ID 32 hex digits from the random generator; nullptr
  // with why (full: maxSessions are open; originFull: the origin holds its share, half of
  // maxSessions and at least one, every one in use; noRandom: no random bytes to be had). When
  // the table is full or the origin holds its share, the origin's own session that has waited
  // longest for a call gives way: a page that is reloaded leaves its session behind, and would
  // otherwise lock itself out until the idle time-out. That session comes back in displaced
  // for the caller to end outside the table's lock; the sessions of other origins are never
  // touched, and no origin can hold them all.
  std::shared_ptr<Session> open(const std::string& origin, Clock::time_point now, Opened& why,
                                std::shared_ptr<Session>& displaced);

  // Use keeps a session from being reaped while a request works with it.
  class Use {
   public:
    Use() = default;
    Use(SessionTable* table, std::shared_ptr<Session> session)
        : table_(table), session_(std::move(session)) {}
    ~Use();
    Use(Use&& other) noexcept = default;
    Use& operator=(Use&&) = delete;
    Session* operator->() const { return session_.get(); }
    explicit operator bool() const { return session_ != nullptr; }
    const std::shared_ptr<Session>& session() const { return session_; }

   private:
    SessionTable* table_ = nullptr;
    std::shared_ptr<Session> session_;
  };
  // use returns the session with that ID when origin owns it; an empty Use otherwise (another
  // origin learns nothing of a session not its own).
  Use use(std::string_view id, std::string_view origin, Clock::time_point now);

  // close takes the session out of the table when origin owns it; nullptr otherwise.
  std::shared_ptr<Session> close(std::string_view id, std::string_view origin);
  // end takes that session out (its process failed).
  void end(const std::shared_ptr<Session>& session);

  // takeIdle takes out the sessions no request uses that were last used more than the idle
  // time-out before now; the caller ends them (outside the table's lock).
  std::vector<std::shared_ptr<Session>> takeIdle(Clock::time_point now);
  std::vector<std::shared_ptr<Session>> takeAll();
  std::size_t size() const;
  // originShare returns how many sessions one origin may hold.
  std::size_t originShare() const;

 private:
  struct Entry {
    std::shared_ptr<Session> session;
    Clock::time_point lastUsed;
    unsigned users = 0;
  };
  void release(const std::shared_ptr<Session>& session);

  const std::size_t maxSessions_;
  const Clock::duration idleTimeout_;
  mutable std::mutex mutex_;
  std::map<std::string, Entry, std::less<>> entries_;
};

}  // namespace kestrune::agent
