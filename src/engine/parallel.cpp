#include "engine/parallel.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <vector>

namespace stelp::detail {
namespace {

// Helpers beyond this many are not started; their parts are then run by the
// threads there are, so any thread count still works.
constexpr size_t kMostHelpers = 63;

// The helper threads of the process. They live from their first use to the
// end of the process and sleep while there is nothing to do. Parts are
// claimed under one lock: a call has a handful of parts, each a band of rows,
// so the lock is taken a few times per call and never while a part runs.
class HelperPool {
 public:
  HelperPool() = default;
  HelperPool(const HelperPool&) = delete;
  HelperPool& operator=(const HelperPool&) = delete;
  // The helpers are stopped and joined by their jthreads, declared last.
  ~HelperPool() = default;

  void run(PartsJob& job) {
    std::unique_lock lock(mutex_);
    startHelpers(static_cast<size_t>(job.parts - 1));
    job.claimed = 1;  // the first part is the caller's
    queue_.push_back(&job);
    lock.unlock();
    for (int i = 1; i < job.parts; ++i) wake_.notify_one();
    job.runPart(job.context, 0);
    lock.lock();
    ++job.finished;
    while (job.claimed < job.parts) {
      const int part = claim(job);
      lock.unlock();
      job.runPart(job.context, part);
      lock.lock();
      ++job.finished;
    }
    done_.wait(lock, [&job] { return job.finished == job.parts; });
  }

 private:
  // Hands out the next part of `job`; a job with none left leaves the queue.
  // Call with the lock held.
  int claim(PartsJob& job) {
    const int part = job.claimed++;
    if (job.claimed == job.parts) queue_.erase(std::find(queue_.begin(), queue_.end(), &job));
    return part;
  }

  // Call with the lock held.
  void startHelpers(size_t wanted) {
    wanted = std::min(wanted, kMostHelpers);
    while (helpers_.size() < wanted) {
      try {
        helpers_.emplace_back([this](std::stop_token quit) { help(quit); });
      } catch (const std::system_error&) {
        return;  // no more threads to be had: the callers run the parts themselves
      }
    }
  }

  void help(std::stop_token quit) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (!wake_.wait(lock, quit, [this] { return !queue_.empty(); })) return;
      PartsJob& job = *queue_.front();
      const int part = claim(job);
      lock.unlock();
      {
        StopScope scope(job.stop);
        job.runPart(job.context, part);
      }
      lock.lock();
      // The caller may return (and its job end) as soon as the last part is
      // counted: the job is not touched after this.
      if (++job.finished == job.parts) done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable_any wake_;  // helpers: a job has parts to claim
  std::condition_variable done_;      // callers: a part finished
  std::deque<PartsJob*> queue_;       // jobs with parts to claim, oldest first
  std::vector<std::jthread> helpers_;  // last: stopped and joined before the members above go
};

HelperPool& helperPool() {
  static HelperPool pool;
  return pool;
}

}  // namespace

void runParts(PartsJob& job) { helperPool().run(job); }

}  // namespace stelp::detail
