#include "control/body_hasher.h"

#include <system_error>
#include <utility>

#include "common/ptr.h"

namespace kestrune::control {

BodyHasher::~BodyHasher() {
  abandon();
}

bool BodyHasher::start(const EVP_MD* digest, std::string header, const char* text) {
  text_ = text;
  try {
    worker_ = std::thread(&BodyHasher::run, this, digest, std::move(header));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void BodyHasher::offer(std::size_t begin, std::size_t end) {
  bool wake = false;
  {
    const std::lock_guard hold(lock_);
    if (state_ != State::running || end <= available_) return;
    if (available_ == 0) begin_ = begin;
    if (begin != begin_) {
      state_ = State::abandoned;
      wake = true;
    } else {
      available_ = end;
      wake = available_ >= woken_ + kWakeEvery;
    }
  }
  if (wake) changed_.notify_all();
}

bool BodyHasher::finish(std::size_t begin, std::size_t end, std::vector<std::uint8_t>& digest) {
  if (!worker_.joinable()) return false;
  {
    const std::lock_guard hold(lock_);
    if (state_ == State::running) {
      if (available_ == 0) begin_ = begin;
      if (begin == begin_ && end >= available_) {
        available_ = end;
        state_ = State::finishing;
      } else {
        state_ = State::abandoned;
      }
    }
  }
  changed_.notify_all();
  worker_.join();
  if (state_ != State::finishing || failed_ || hashedTo_ != end) return false;
  digest = std::move(digest_);
  return true;
}

void BodyHasher::abandon() {
  if (!worker_.joinable()) return;
  {
    const std::lock_guard hold(lock_);
    state_ = State::abandoned;
  }
  changed_.notify_all();
  worker_.join();
}

void BodyHasher::run(const EVP_MD* digest, std::string header) {
  Ptr<EVP_MD_CTX> context(EVP_MD_CTX_new());
  bool ok = context && EVP_DigestInit_ex(context.get(), digest, nullptr) == 1 &&
            EVP_DigestUpdate(context.get(), header.data(), header.size()) == 1;
  std::size_t hashed = 0;
  bool begun = false;
  for (bool last = false; !last;) {
    std::size_t to = 0;
    {
      std::unique_lock hold(lock_);
      // Woken for every kWakeEvery bytes more, and for the end.
      changed_.wait(hold,
                    [&] { return state_ != State::running || available_ >= woken_ + kWakeEvery; });
      if (state_ == State::abandoned) return;
      if (!begun && available_ > 0) {
        hashed = begin_;
        begun = true;
      }
      to = available_;
      woken_ = to;
      last = state_ == State::finishing;
    }
    if (ok && begun && to > hashed) {
      ok = EVP_DigestUpdate(context.get(), text_ + hashed, to - hashed) == 1;
      hashed = to;
    }
  }
  std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  ok = ok && EVP_DigestFinal_ex(context.get(), out.data(), &length) == 1;
  out.resize(length);
  const std::lock_guard hold(lock_);
  failed_ = !ok || !begun;
  hashedTo_ = hashed;
  digest_ = std::move(out);
}

}  // namespace kestrune::control
