#include "engine/parallel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace stelp {
namespace {

// Two callers at once, each of whose ranges calls parallelRanges again: every item is worked exactly once per call,
// and no call waits forever on helpers busy with the other caller's parts.
TEST(ParallelRangesTest, EveryItemOnceInNestedCallsOnKeptHelpersUnderTheCallersStop) {
  constexpr int64_t kOuter = 12, kInner = 50;
  constexpr int kCalls = 100;
  std::vector<std::atomic<int>> hits(2 * kOuter * kInner);
  {
    std::vector<std::jthread> callers;
    for (int caller = 0; caller < 2; ++caller)
      callers.emplace_back([&, caller] {
        for (int call = 0; call < kCalls; ++call)
          parallelRanges(kOuter, 2 + call % 3, 1, [&](int64_t first, int64_t end) {
            for (int64_t o = first; o < end; ++o)
              parallelRanges(kInner, 1 + call % 4, 8, [&](int64_t from, int64_t to) {
                for (int64_t i = from; i < to; ++i) ++hits[static_cast<size_t>((caller * kOuter + o) * kInner + i)];
              });
          });
      });
  }
  int wrong = 0;
  for (const std::atomic<int>& h : hits) wrong += h != kCalls;
  EXPECT_EQ(wrong, 0) << "items not worked exactly once per call";

  // The helpers are started once and kept: many calls are served by the same few threads (a thread per call would
  // give a new thread id every time). The caller's first range waits until a helper has run another, so helpers take
  // part in every call; and they run their ranges under the caller's stop request.
  std::mutex mutex;
  std::set<pid_t> helpers;
  int partsWithoutTheStop = 0, partsRun = 0;
  std::stop_source stop;
  const StopScope scope(stop.get_token());
  const pid_t caller = gettid();
  for (int call = 0; call < kCalls; ++call) {
    std::atomic<bool> helped{false};
    parallelRanges(64, 2, 1, [&](int64_t first, int64_t) {
      if (first == 0) helped.wait(false);
      std::lock_guard lock(mutex);
      ++partsRun;
      partsWithoutTheStop += !currentStop.stop_possible();
      if (gettid() == caller) return;
      helpers.insert(gettid());
      helped = true;
      helped.notify_one();
    });
  }
  EXPECT_LT(helpers.size(), size_t{kCalls / 2});
  EXPECT_EQ(partsWithoutTheStop, 0);
  // No band starts once the stop is requested.
  stop.request_stop();
  const int before = partsRun;
  parallelRanges(64, 2, 1, [&](int64_t, int64_t) { ++partsRun; });
  EXPECT_EQ(partsRun, before);
}

}  // namespace
}  // namespace stelp
