#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "image/image_buffer.h"

namespace stelp {

// Frames a loop over many frames loads ahead of the one it works on.
inline constexpr size_t kFramesAhead = 2;

// Loads a sequence of frames on a thread of its own, up to `depth` ahead of
// the caller, and hands them over in the order asked for, so that reading
// and decoding the next frame overlaps the work on the current one. The
// thread runs under the stop request of the thread that made the object;
// once a stop is requested it loads nothing more.
class FrameReadAhead {
 public:
  // load(item, slot, why) reads the frame for `item` into `slot` (left empty,
  // with the reason in `why`, when it cannot).
  using Load = std::function<void(int32_t item, ImageSlot& slot, std::string& why)>;

  struct Loaded {
    int32_t item = -1;
    ImageSlot frame;
    std::string why;
  };

  FrameReadAhead(std::vector<int32_t> items, size_t depth, Load load);
  ~FrameReadAhead();  // stops the thread and waits for it
  FrameReadAhead(const FrameReadAhead&) = delete;
  FrameReadAhead& operator=(const FrameReadAhead&) = delete;

  // The next frame, in the order of `items`; false when every one has been
  // handed over, or when a stop request ended the loading first.
  bool next(Loaded& out);

 private:
  void run(std::stop_token own, std::stop_token caller);

  const std::vector<int32_t> items_;
  const size_t depth_;
  const Load load_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::deque<Loaded> ready_;  // guarded by mutex_
  bool finished_ = false;     // guarded by mutex_: the thread loads no more
  size_t handedOver_ = 0;     // used by the caller only
  std::jthread thread_;       // last: started once the members above exist
};

}  // namespace stelp
