#include "agent/sessions.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace kestrune::agent {
namespace {

constexpr std::size_t kIdBytes = 16;
constexpr std::chrono::seconds kWorkerGrace{2};

bool newSessionId(std::string& id) {
  std::array<unsigned char, kIdBytes> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) return false;
  static constexpr char kHex[] = "0123456789abcdef";
  id.clear();
  for (const unsigned char byte : bytes) {
    id += kHex[byte >> 4];
    id += kHex[byte & 0x0f];
  }
  return true;
}

}  // namespace

Session::CallTurn::CallTurn(Session& session) : session_(session) {
  unsigned calls = session_.calls.load();
  while (calls < kCallPlaces && !session_.calls.compare_exchange_weak(calls, calls + 1)) {
  }
  taken_ = calls < kCallPlaces;
}

Session::CallTurn::~CallTurn() {
  if (taken_) --session_.calls;
}

Session::~Session() {
  stopWorker();
}

void Session::stopWorker() {
  if (worker) worker->stop(kWorkerGrace);
}

SessionTable::Use::~Use() {
  if (table_ != nullptr && session_ != nullptr) table_->release(session_);
}

std::shared_ptr<Session> SessionTable::open(const std::string& origin, Clock::time_point now,
                                            Opened& why, std::shared_ptr<Session>& displaced) {
  const std::lock_guard lock(mutex_);
  std::size_t held = 0;
  auto oldest = entries_.end();
  for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
    if (entry->second.session->origin != origin) continue;
    ++held;
    if (entry->second.users != 0) continue;
    if (oldest == entries_.end() || entry->second.lastUsed < oldest->second.lastUsed) {
      oldest = entry;
    }
  }
  const bool atShare = held >= originShare();
  if (atShare || entries_.size() >= maxSessions_) {
    if (oldest == entries_.end()) {
      why = atShare ? Opened::originFull : Opened::full;
      return nullptr;
    }
    displaced = std::move(oldest->second.session);
    displaced->ended = true;
    entries_.erase(oldest);
  }
  std::string id;
  do {
    if (!newSessionId(id)) {
      why = Opened::noRandom;
      return nullptr;
    }
  } while (entries_.count(id) != 0);
  auto session = std::make_shared<Session>(id, origin);
  entries_.emplace(id, Entry{session, now, 0});
  why = Opened::ok;
  return session;
}

SessionTable::Use SessionTable::use(std::string_view id, std::string_view origin,
                                    Clock::time_point now) {
  const std::lock_guard lock(mutex_);
  const auto found = entries_.find(id);
  if (found == entries_.end() || found->second.session->origin != origin) return {};
  found->second.lastUsed = now;
  ++found->second.users;
  return Use(this, found->second.session);
}

void SessionTable::release(const std::shared_ptr<Session>& session) {
  const std::lock_guard lock(mutex_);
  const auto found = entries_.find(session->id);
  if (found == entries_.end() || found->second.session != session) return;
  --found->second.users;
  // Idle from the end of its last request, not from its start: a long call is no idleness.
  found->second.lastUsed = std::max(found->second.lastUsed, Clock::now());
}

std::shared_ptr<Session> SessionTable::close(std::string_view id, std::string_view origin) {
  const std::lock_guard lock(mutex_);
  const auto found = entries_.find(id);
  if (found == entries_.end() || found->second.session->origin != origin) return nullptr;
  std::shared_ptr<Session> session = std::move(found->second.session);
  entries_.erase(found);
  return session;
}

void SessionTable::end(const std::shared_ptr<Session>& session) {
  const std::lock_guard lock(mutex_);
  const auto found = entries_.find(session->id);
  if (found != entries_.end() && found->second.session == session) entries_.erase(found);
}

std::vector<std::shared_ptr<Session>> SessionTable::takeIdle(Clock::time_point now) {
  std::vector<std::shared_ptr<Session>> idle;
  const std::lock_guard lock(mutex_);
  for (auto entry = entries_.begin(); entry != entries_.end();) {
    if (entry->second.users == 0 && now - entry->second.lastUsed > idleTimeout_) {
      idle.push_back(std::move(entry->second.session));
      entry = entries_.erase(entry);
    } else {
      ++entry;
    }
  }
  return idle;
}

std::vector<std::shared_ptr<Session>> SessionTable::takeAll() {
  std::vector<std::shared_ptr<Session>> all;
  const std::lock_guard lock(mutex_);
  for (auto& [id, entry] : entries_) all.push_back(std::move(entry.session));
  entries_.clear();
  return all;
}

std::size_t SessionTable::originShare() const {
  return std::max<std::size_t>(1, maxSessions_ / 2);
}

std::size_t SessionTable::size() const {
  const std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace kestrune::agent
