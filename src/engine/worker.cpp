#include "engine/worker.h"

#include "engine/parallel.h"

namespace stelp {

Worker::Worker() : thread_([this](std::stop_token quit) { Run(quit); }) {}

Worker::~Worker() {
  RequestStop();
  thread_.request_stop();
  wake_.notify_all();
  thread_.join();
}

bool Worker::Start(std::function<void()> work, std::function<void(bool stopped)> done) {
  {
    std::lock_guard lock(mutex_);
    if (busy_) return false;
    busy_ = true;
    work_ = std::move(work);
    done_ = std::move(done);
    stop_ = std::stop_source();
  }
  wake_.notify_all();
  return true;
}

void Worker::RequestStop() {
  std::lock_guard lock(mutex_);
  if (busy_) stop_.request_stop();
}

bool Worker::Busy() const {
  std::lock_guard lock(mutex_);
  return busy_;
}

void Worker::WaitIdle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return !busy_; });
}

void Worker::Run(std::stop_token quit) {
  for (;;) {
    std::function<void()> work;
    std::function<void(bool)> done;
    std::stop_token stop;
    {
      std::unique_lock lock(mutex_);
      if (!wake_.wait(lock, quit, [this] { return static_cast<bool>(work_); })) return;
      work = std::move(work_);
      done = std::move(done_);
      work_ = nullptr;
      done_ = nullptr;
      stop = stop_.get_token();
    }
    {
      StopScope scope(stop);
      work();
    }
    // Idle before `done` runs, so that what `done` sets off may start the
    // next piece at once.
    {
      std::lock_guard lock(mutex_);
      busy_ = false;
    }
    idle_.notify_all();
    if (done) done(stop.stop_requested());
  }
}

}  // namespace stelp
