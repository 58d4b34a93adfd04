#pragma once

#include <algorithm>
#include <cstdint>
#include <stop_token>
#include <thread>

namespace stelp {

// Threads a product operation may use: one per core.
inline int defaultThreadCount() { return std::max(1u, std::thread::hardware_concurrency()); }

// The stop request of the background work this thread runs, if any. Long
// loops look at it between frames and between bands of rows; work stopped
// this way leaves its result unfinished, and the engine drops it.
inline thread_local std::stop_token currentStop;

inline bool stopRequested() { return currentStop.stop_requested(); }

// Makes `token` this thread's stop request while it lives.
class StopScope {
 public:
  explicit StopScope(std::stop_token token) : previous_(currentStop) { currentStop = std::move(token); }
  ~StopScope() { currentStop = previous_; }
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;

 private:
  std::stop_token previous_;
};

namespace detail {

// One call of parallelRanges as the pool sees it: `parts` pieces, each run
// once by runPart(context, part), on whichever thread claims it first.
struct PartsJob {
  void (*runPart)(void* context, int part);
  void* context;
  int parts;
  std::stop_token stop;  // the caller's, made current on the helper running a part
  int claimed = 0;       // parts handed out; guarded by the pool's lock
  int finished = 0;      // parts done; guarded by the pool's lock
};

// Runs every part of `job` on the calling thread and the process's helper
// threads, and returns when all are done. The helpers are started the first
// time they are needed and then wait for the next call: no thread is started
// per call. The caller works too, taking the parts no helper has claimed yet,
// so a call never waits for a helper that is still asleep on a busy core, and
// a part may itself call parallelRanges.
void runParts(PartsJob& job);

}  // namespace detail

// Runs work(first, end) over `count` items split into contiguous ranges, one
// per thread (at most `threads`, and none smaller than `grain` items). The
// calling thread takes the first range. Every item is handled exactly once,
// so results that depend only on the item are the same for any thread count.
// Under a stop request each range is worked in a few bands, and no band
// starts once the stop is requested.
template <typename Work>
void parallelRanges(int64_t count, int threads, int64_t grain, Work work) {
  if (count <= 0) return;
  const int64_t byGrain = std::max<int64_t>(1, count / std::max<int64_t>(grain, 1));
  const int parts = static_cast<int>(std::clamp<int64_t>(threads, 1, byGrain));
  const std::stop_token stop = currentStop;
  auto runRange = [&work, &stop, grain](int64_t first, int64_t end) {
    if (!stop.stop_possible()) {
      work(first, end);
      return;
    }
    constexpr int64_t kBands = 4;
    const int64_t band = std::max<int64_t>({grain * 4, (end - first + kBands - 1) / kBands, 1});
    for (int64_t at = first; at < end && !stop.stop_requested(); at += band) work(at, std::min(end, at + band));
  };
  if (parts == 1) {
    runRange(int64_t{0}, count);
    return;
  }
  struct Context {
    decltype(runRange)& run;
    int64_t count;
    int parts;
  } context{runRange, count, parts};
  detail::PartsJob job{[](void* c, int part) {
                         const Context& self = *static_cast<const Context*>(c);
                         self.run(self.count * part / self.parts, self.count * (part + 1) / self.parts);
                       },
                       &context, parts, stop};
  detail::runParts(job);
}

}  // namespace stelp
