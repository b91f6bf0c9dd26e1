#include "http_server/connection_pool.h"

#include <system_error>

namespace kestrune::http {

ConnectionPool::~ConnectionPool() {
  shutdown();
}

void ConnectionPool::enqueue(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  jobs_.push_back(std::move(job));
  // Each idle thread takes one waiting job: more jobs than that need another thread, or a job
  // would wait behind connections that may take their time.
  if (jobs_.size() > idle_ && threads_.size() < maxThreads_) {
    try {
      threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      // No thread to be had: the job waits for one that is running.
    }
  }
  lock.unlock();
  // An idle thread, if any, takes the job now (a new thread takes whatever is left).
  ready_.notify_one();
}

void ConnectionPool::shutdown() {
  {
    std::lock_guard lock(mutex_);
    if (shuttingDown_ && threads_.empty()) return;
    shuttingDown_ = true;
  }
  ready_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
}

void ConnectionPool::work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      ++idle_;
      ready_.wait(lock, [this] { return !jobs_.empty() || shuttingDown_; });
      --idle_;
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace kestrune::http
