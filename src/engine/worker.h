#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

namespace stelp {

// Runs one piece of background work at a time on a thread of its own, which
// lives as long as the worker. Each piece gets a fresh stop request, made
// the thread's current one (see parallel.h) while it runs.
class Worker {
 public:
  Worker();
  ~Worker();  // asks the running work to stop and waits for it
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Starts `work`; `done` runs after it on the worker thread, once the
  // worker is idle again, told whether a stop was asked for meanwhile.
  // False, and nothing started, while other work is under way. Work reports
  // its own failures: no exception may leave it.
  bool Start(std::function<void()> work, std::function<void(bool stopped)> done);
  // Asks the running work, if any, to stop.
  void RequestStop();
  // Work is under way (from Start until it has returned).
  bool Busy() const;
  // Waits until no work is under way.
  void WaitIdle();

 private:
  void Run(std::stop_token quit);

  mutable std::mutex mutex_;
  std::condition_variable_any wake_;
  std::condition_variable idle_;
  std::function<void()> work_;
  std::function<void(bool)> done_;
  std::stop_source stop_;
  bool busy_ = false;
  std::jthread thread_;  // last: started once the members above exist
};

}  // namespace stelp
