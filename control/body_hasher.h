// BodyHasher: the hash of a long message's signed bytes, made on a thread of its own while the
// message is still being converted. It hashes the security header group it is given, then the
// message's body as the conversion writes it and the envelope's search vouches for it.
#pragma once

#include <openssl/evp.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::control {

class BodyHasher {
 public:
  BodyHasher() = default;
  ~BodyHasher();
  BodyHasher(const BodyHasher&) = delete;
  BodyHasher& operator=(const BodyHasher&) = delete;

  // start hashes header, then waits for the body. text is where the body's bytes will be; the
  // buffer must not move, nor its bytes change once offered, until finish or abandon returns.
  // false when no thread could be had.
  bool start(const EVP_MD* digest, std::string header, const char* text);
  bool started() const { return worker_.joinable(); }
  // offer tells that the body is text[begin, end) as far as known; begin is the same each time.
  void offer(std::size_t begin, std::size_t end);
  // finish waits until the body text[begin, end) is hashed and gives the digest; false when it
  // could not be (the body was offered otherwise, or the hash failed).
  bool finish(std::size_t begin, std::size_t end, std::vector<std::uint8_t>& digest);
  // abandon stops the hashing: the body is not the one guessed.
  void abandon();

 private:
  enum class State { running, finishing, abandoned };
  void run(const EVP_MD* digest, std::string header);

  // Offers wake the thread only when this much more of the body is there.
  static constexpr std::size_t kWakeEvery = 256 * 1024;

  const char* text_ = nullptr;
  std::mutex lock_;
  std::condition_variable changed_;
  State state_ = State::running;
  std::size_t begin_ = 0;
  std::size_t available_ = 0;  // the body is known up to here
  std::size_t woken_ = 0;      // available_ when the thread was last woken
  bool failed_ = false;
  std::size_t hashedTo_ = 0;
  std::vector<std::uint8_t> digest_;
  std::thread worker_;
};

}  // namespace kestrune::control
