#pragma once

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

namespace stelp {

// Threads a product operation may use: one per core.
inline int defaultThreadCount() { return std::max(1u, std::thread::hardware_concurrency()); }

// Runs work(first, end) over `count` items split into contiguous ranges, one
// per thread (at most `threads`, and none smaller than `grain` items). The
// calling thread takes the first range. Every item is handled exactly once,
// so results that depend only on the item are the same for any thread count.
template <typename Work>
void parallelRanges(int64_t count, int threads, int64_t grain, Work work) {
  if (count <= 0) return;
  const int64_t byGrain = std::max<int64_t>(1, count / std::max<int64_t>(grain, 1));
  const int parts = static_cast<int>(std::clamp<int64_t>(threads, 1, byGrain));
  if (parts == 1) {
    work(int64_t{0}, count);
    return;
  }
  std::vector<std::thread> helpers;
  helpers.reserve(static_cast<size_t>(parts - 1));
  for (int p = 1; p < parts; ++p)
    helpers.emplace_back(work, count * p / parts, count * (p + 1) / parts);
  work(int64_t{0}, count / parts);
  for (std::thread& t : helpers) t.join();
}

}  // namespace stelp
