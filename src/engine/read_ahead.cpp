#include "engine/read_ahead.h"

#include <utility>

#include "engine/parallel.h"

namespace stelp {

FrameReadAhead::FrameReadAhead(std::vector<int32_t> items, size_t depth, Load load)
    : items_(std::move(items)), depth_(depth > 0 ? depth : 1), load_(std::move(load)) {
  thread_ = std::jthread([this, caller = currentStop](std::stop_token own) { run(own, caller); });
}

FrameReadAhead::~FrameReadAhead() {
  thread_.request_stop();
  {
    // Wakes a thread waiting for room; taking the lock orders the wake-up
    // after its check of the stop request.
    std::lock_guard<std::mutex> lock(mutex_);
  }
  changed_.notify_all();
}

void FrameReadAhead::run(std::stop_token own, std::stop_token caller) {
  const StopScope scope(caller);
  for (const int32_t item : items_) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, own, [&] { return ready_.size() < depth_ || caller.stop_requested(); });
      if (own.stop_requested() || caller.stop_requested()) break;
    }
    Loaded loaded;
    loaded.item = item;
    load_(item, loaded.frame, loaded.why);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ready_.push_back(std::move(loaded));
    }
    changed_.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  changed_.notify_all();
}

bool FrameReadAhead::next(Loaded& out) {
  if (handedOver_ == items_.size()) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return !ready_.empty() || finished_; });
  if (ready_.empty()) return false;
  out = std::move(ready_.front());
  ready_.pop_front();
  ++handedOver_;
  lock.unlock();
  changed_.notify_all();
  return true;
}

}  // namespace stelp
