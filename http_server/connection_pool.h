// ConnectionPool: httplib's task queue for the guarded server, one thread per connection, grown
// on demand up to a bound; a connection that finds every thread busy waits for one.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrune::http {

class ConnectionPool : public httplib::TaskQueue {
 public:
  explicit ConnectionPool(std::size_t maxThreads) : maxThreads_(maxThreads) {}
  ~ConnectionPool() override;
  void enqueue(std::function<void()> job) override;
  void shutdown() override;

 private:
  void work();

  const std::size_t maxThreads_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::list<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;
  bool shuttingDown_ = false;
};

}  // namespace kestrune::http
