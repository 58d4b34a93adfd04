#include "engine/combine.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <stop_token>
#include <thread>

#include "engine/parallel.h"

namespace stelp {
namespace {

// Positions of a band combined at a time: the frames' values of 64
// neighbouring positions are gathered together, so that each frame's values
// are read a cache line at a time.
constexpr int64_t kBlock = 64;
// Positions per thread at the least when a band is combined.
constexpr int64_t kCombineGrain = 4096;
constexpr int64_t kMaxMemoryMiB = int64_t{1} << 40;
// Up to this many frames, the values of kLanes neighbouring positions are
// sorted together by one sorting network, each step a min and a max over
// the lanes, which the compiler turns into vector instructions; more frames
// are sorted position by position.
constexpr int32_t kNetworkFrames = 64;
constexpr int64_t kLanes = 16;
// The frames' values of a band are held in huge pages where the system
// gives them, so that filling them takes few page faults.
constexpr size_t kHugePage = size_t{2} << 20;

// The compare-exchange steps of Batcher's odd-even merge sort of `count`
// values: the network of the next power of two, without the steps that
// touch a position past `count` (those positions would hold values above
// every other, which never move down, so those steps change nothing).
std::vector<std::pair<int16_t, int16_t>> sortingNetwork(int32_t count) {
  std::vector<std::pair<int16_t, int16_t>> steps;
  int32_t size = 1;
  while (size < count) size *= 2;
  for (int32_t p = 1; p < size; p *= 2)
    for (int32_t k = p; k >= 1; k /= 2)
      for (int32_t j = k % p; j + k < size; j += 2 * k)
        for (int32_t i = 0; i < k && i + j + k < size; ++i) {
          const int32_t a = i + j, b = i + j + k;
          if (a / (2 * p) == b / (2 * p) && b < count) steps.emplace_back(static_cast<int16_t>(a), static_cast<int16_t>(b));
        }
  return steps;
}

// Only the steps of `network` that lead to the positions `wanted` (each
// marked true): enough to place the values that end there.
std::vector<std::pair<int16_t, int16_t>> stepsTowards(const std::vector<std::pair<int16_t, int16_t>>& network,
                                                      std::vector<bool> wanted) {
  std::vector<std::pair<int16_t, int16_t>> steps;
  for (auto step = network.rbegin(); step != network.rend(); ++step) {
    if (!wanted[static_cast<size_t>(step->first)] && !wanted[static_cast<size_t>(step->second)]) continue;
    wanted[static_cast<size_t>(step->first)] = wanted[static_cast<size_t>(step->second)] = true;
    steps.push_back(*step);
  }
  std::reverse(steps.begin(), steps.end());
  return steps;
}

// Four lanes in one vector register (GCC and Clang vector extensions).
using Lanes4 = float __attribute__((vector_size(16)));

// Sorts each lane of `values` (value j of lane l at values[j * kLanes + l]).
void sortLanes(float* values, const std::vector<std::pair<int16_t, int16_t>>& network) {
  static_assert(kLanes % 4 == 0);
  for (const auto& [a, b] : network) {
    float* x = values + a * kLanes;
    float* y = values + b * kLanes;
    for (int64_t l = 0; l < kLanes; l += 4) {
      Lanes4 u, v;
      std::memcpy(&u, x + l, sizeof u);
      std::memcpy(&v, y + l, sizeof v);
      const Lanes4 low = v < u ? v : u;  // as std::min and std::max
      const Lanes4 high = u < v ? v : u;
      std::memcpy(x + l, &low, sizeof low);
      std::memcpy(y + l, &high, sizeof high);
    }
  }
}

// Sigma clipping over `sorted`, the `values` (in list order) sorted.
float clipSorted(const float* values, const float* sorted, int32_t count, double kappaLow, double kappaHigh);

// The frames' values of a band: huge pages where the system gives them.
struct FreeStack {
  void operator()(float* values) const { std::free(values); }
};
using Stack = std::unique_ptr<float[], FreeStack>;

Stack allocateStack(size_t values) {
  const size_t bytes = (values * sizeof(float) + kHugePage - 1) / kHugePage * kHugePage;
  auto* memory = static_cast<float*>(std::aligned_alloc(kHugePage, std::max(bytes, kHugePage)));
  if (memory) ::madvise(memory, bytes, MADV_HUGEPAGE);
  return Stack(memory);
}

constexpr char kOtherSize[] = "the frame is not of the size of the other frames";
constexpr char kOtherKind[] = "the frame is not of the kind of the other frames";

int channelsOf(PixelFormat format) { return format == PixelFormat::BgrFloat ? 3 : 1; }

const float* floatRow(const ImageBuffer& image, int32_t y) { return reinterpret_cast<const float*>(image.row(y)); }

// Whether every value is a whole number of 0..255, which a byte holds exactly.
bool fitsInBytes(const float* values, int64_t count) {
  bool whole = true;
  for (int64_t i = 0; i < count; ++i) {
    const float v = values[i];
    whole &= v >= 0.0f && v <= 255.0f && static_cast<float>(static_cast<int32_t>(v)) == v;
  }
  return whole;
}

// The temporary file that keeps frames between bands. It is made without a
// name in its folder (or unlinked at once where the file system cannot do
// that), so it disappears when it is closed, however the work ends.
class SpillFile {
 public:
  SpillFile() = default;
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;
  ~SpillFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool open(const std::string& folder) {
    std::string dir = folder;
    if (dir.empty()) {
      std::error_code error;
      dir = std::filesystem::temp_directory_path(error).string();
      if (error) return false;
    }
    fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ >= 0) return true;
    std::string name = (std::filesystem::path(dir) / ".stelp-combine-XXXXXX").string();
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) return false;
    ::unlink(name.c_str());
    return true;
  }
  bool isOpen() const { return fd_ >= 0; }

  // Room for `bytes` more bytes: their offset.
  int64_t reserve(int64_t bytes) { return end_.fetch_add(bytes); }

  bool writeAt(int64_t offset, const void* data, size_t count) {
    return whole(::pwrite, static_cast<const uint8_t*>(data), count, offset);
  }

  bool readAt(int64_t offset, void* data, size_t count) const {
    return whole(::pread, static_cast<uint8_t*>(data), count, offset);
  }

 private:
  // Runs `io` (pread or pwrite) until all `count` bytes are moved; false on
  // an error or at the end of the file.
  template <typename Io, typename Byte>
  bool whole(Io io, Byte* bytes, size_t count, int64_t offset) const {
    while (count > 0) {
      const ssize_t n = io(fd_, bytes, count, offset);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes += n;
      count -= static_cast<size_t>(n);
      offset += n;
    }
    return true;
  }

  int fd_ = -1;
  std::atomic<int64_t> end_{0};
};

// Runs work(item, scratch) for items 0..count-1 on up to `threads` threads,
// each taking the next item in turn, with a scratch buffer of its own. The
// calling thread takes part and calls report() after each of its items; the
// others share its stop request. No item starts once a stop is requested.
template <typename Work, typename Report>
void forEachItem(int32_t count, int threads, Work work, Report report) {
  std::atomic<int32_t> next{0};
  const std::stop_token stop = currentStop;
  auto run = [&](bool reports) {
    StopScope scope(stop);
    std::vector<uint8_t> scratch;
    for (;;) {
      if (stop.stop_requested()) return;
      const int32_t item = next.fetch_add(1);
      if (item >= count) return;
      work(item, scratch);
      if (reports) report();
    }
  };
  const int helpers = std::clamp(threads, 1, std::max(count, 1)) - 1;
  std::vector<std::thread> pool;
  pool.reserve(static_cast<size_t>(helpers));
  for (int t = 0; t < helpers; ++t) pool.emplace_back(run, false);
  run(true);
  for (std::thread& t : pool) t.join();
}

// What became of one frame of the job.
struct FrameState {
  enum class Status : uint8_t { Unread, Used, PassedOver };
  Status status = Status::Unread;
  std::string why;
  // Rows from the second band on, in the temporary file: where, and the
  // bytes a value takes there (1 or 4; 0 when the frame is read again).
  int64_t spillOffset = 0;
  int32_t spillBytes = 0;
};

// One attempt at combining the job's frames; `excluded` frames are left out.
class BandCombiner {
 public:
  enum class Ending { Done, Stopped, FrameLost, NoFrame, NoMemory };

  BandCombiner(const CombineJob& job, const std::vector<bool>& excluded)
      : job_(job), excluded_(excluded), states_(job.frames.size()) {}

  Ending Run(CombineOutcome& outcome);
  // The frame that stopped loading after the first band, and why.
  int32_t lostFrame() const { return lost_; }
  const std::vector<FrameState>& states() const { return states_; }

 private:
  bool findFirstFrame(ImageSlot& first);
  bool plan(const ImageBuffer& first);
  void readFirstBand(const ImageBuffer& first, int32_t rows);
  bool readBand(int32_t y0, int32_t rows);
  void combineBand(int32_t y0, int32_t rows);
  // Why `frame` cannot join the first frame used; empty when it can.
  std::string unlike(const ImageBuffer& frame) const {
    if (frame.width != width_ || frame.height != height_) return kOtherSize;
    if (frame.format == format_ && frame.bayer == bayer_) return {};
    return job_.mismatch ? job_.mismatch(frame.bayer, bayer_) : std::string(kOtherKind);
  }
  float* slot(int32_t candidate) { return stack_.get() + static_cast<size_t>(candidate) * slotValues_; }
  void copyRows(const ImageBuffer& frame, int32_t candidate, int32_t y0, int32_t rows) {
    std::memcpy(slot(candidate), frame.row(y0), static_cast<size_t>(rows) * rowValues_ * sizeof(float));
  }
  void keep(FrameState& state, const ImageBuffer& frame, std::vector<uint8_t>& scratch);
  bool readKept(const FrameState& state, int32_t candidate, int32_t y0, int32_t rows, std::vector<uint8_t>& scratch);
  bool wantsSpill(const ImageSource* source) const {
    return spill_.isOpen() && (job_.spill == SpillFrames::All || (source && source->frameCode >= 0));
  }
  // Runs of candidates (first, end) that one thread reads in order: the
  // frames of one video, so that its decoder goes on from frame to frame.
  std::vector<std::pair<int32_t, int32_t>> runsOf(const std::vector<int32_t>& candidates) const;
  void step() {
    if (job_.progress) job_.progress->Step(static_cast<int>(std::min(done_.load(), steps_)), static_cast<int>(steps_));
  }

  const CombineJob& job_;
  const std::vector<bool>& excluded_;
  std::vector<FrameState> states_;
  std::vector<int32_t> candidates_;  // frames from the first one used on, by their index into job.frames
  std::vector<int32_t> used_;        // the candidates (by position in candidates_) that went into the master
  int32_t width_ = 0, height_ = 0;
  PixelFormat format_ = PixelFormat::GrayFloat;  // the first frame's
  BayerPattern bayer_ = BayerPattern::None;
  int64_t rowValues_ = 0;
  int32_t bandRows_ = 0;
  size_t slotValues_ = 0;
  Stack stack_;
  ImageSlot master_;
  SpillFile spill_;
  std::atomic<int64_t> done_{0};
  int64_t steps_ = 1;
  int32_t lost_ = -1;
};

bool BandCombiner::findFirstFrame(ImageSlot& first) {
  const FrameSize& size = job_.frameSize;
  for (size_t i = 0; i < job_.frames.size(); ++i) {
    if (excluded_[i]) continue;
    if (stopRequested()) return false;
    FrameState& state = states_[i];
    first.reset();
    if (!job_.load(job_.frames[i], first, &state.why) || !first) {
      state.status = FrameState::Status::PassedOver;
      continue;
    }
    const bool sized = size.width < 0 || (first->width == size.width && first->height == size.height);
    const bool floats = isFloatFormat(first->format);
    if (!floats || !sized) {
      state.status = FrameState::Status::PassedOver;
      state.why = floats ? kOtherSize : kOtherKind;
      continue;
    }
    format_ = first->format;
    bayer_ = first->bayer;
    for (size_t k = i; k < job_.frames.size(); ++k)
      if (!excluded_[k]) candidates_.push_back(static_cast<int32_t>(k));
    return true;
  }
  first.reset();
  return false;
}

// The band height: as many rows as the budget holds for every candidate,
// fewer while memory for them cannot be had, at least one.
bool BandCombiner::plan(const ImageBuffer& first) {
  width_ = first.width;
  height_ = first.height;
  rowValues_ = static_cast<int64_t>(width_) * channelsOf(format_);
  const int64_t frames = static_cast<int64_t>(candidates_.size());
  const int64_t perRow = frames * rowValues_ * static_cast<int64_t>(sizeof(float));
  int64_t rows = std::clamp<int64_t>(job_.memory / std::max<int64_t>(perRow, 1), 1, height_);
  master_ = std::make_unique<ImageBuffer>();
  master_->setFormat(format_);
  master_->bayer = bayer_;
  master_->width = width_;
  master_->height = height_;
  if (!master_->allocate()) return false;
  for (;;) {
    slotValues_ = static_cast<size_t>(rows * rowValues_);
    stack_ = allocateStack(slotValues_ * static_cast<size_t>(frames));
    if (stack_) break;
    if (rows == 1) return false;
    rows = (rows + 1) / 2;
  }
  bandRows_ = static_cast<int32_t>(rows);
  return true;
}

std::vector<std::pair<int32_t, int32_t>> BandCombiner::runsOf(const std::vector<int32_t>& candidates) const {
  std::vector<std::pair<int32_t, int32_t>> runs;
  for (int32_t c = 0; c < static_cast<int32_t>(candidates.size());) {
    const ImageSource* head = job_.frames[static_cast<size_t>(candidates_[static_cast<size_t>(candidates[c])])];
    int32_t end = c + 1;
    if (head && head->frameCode >= 0) {
      while (end < static_cast<int32_t>(candidates.size())) {
        const ImageSource* next = job_.frames[static_cast<size_t>(candidates_[static_cast<size_t>(candidates[end])])];
        if (!next || next->frameCode < 0 || next->path != head->path) break;
        ++end;
      }
    }
    runs.emplace_back(c, end);
    c = end;
  }
  return runs;
}

// Keeps the rows of the later bands of a frame in the temporary file: as
// bytes when every value is a whole number of 0..255 (8-bit sources), as
// floats otherwise. A frame that cannot be written is read again instead.
void BandCombiner::keep(FrameState& state, const ImageBuffer& frame, std::vector<uint8_t>& scratch) {
  const int64_t values = (height_ - bandRows_) * rowValues_;
  const float* rows = floatRow(frame, bandRows_);
  const bool small = fitsInBytes(rows, values);
  const int32_t bytes = small ? 1 : 4;
  const int64_t offset = spill_.reserve(values * bytes);
  bool written = false;
  if (small) {
    scratch.resize(static_cast<size_t>(values));
    for (int64_t i = 0; i < values; ++i) scratch[static_cast<size_t>(i)] = static_cast<uint8_t>(rows[i]);
    written = spill_.writeAt(offset, scratch.data(), scratch.size());
  } else {
    written = spill_.writeAt(offset, rows, static_cast<size_t>(values) * sizeof(float));
  }
  if (!written) return;
  state.spillOffset = offset;
  state.spillBytes = bytes;
}

bool BandCombiner::readKept(const FrameState& state, int32_t candidate, int32_t y0, int32_t rows,
                            std::vector<uint8_t>& scratch) {
  const int64_t values = rows * rowValues_;
  const int64_t offset = state.spillOffset + (y0 - bandRows_) * rowValues_ * state.spillBytes;
  float* out = slot(candidate);
  if (state.spillBytes == 4) return spill_.readAt(offset, out, static_cast<size_t>(values) * sizeof(float));
  scratch.resize(static_cast<size_t>(values));
  if (!spill_.readAt(offset, scratch.data(), scratch.size())) return false;
  for (int64_t i = 0; i < values; ++i) out[i] = static_cast<float>(scratch[static_cast<size_t>(i)]);
  return true;
}

// The first band: every candidate is read, checked and, when the work takes
// more than one band and its kind is spilled, kept for the later bands.
void BandCombiner::readFirstBand(const ImageBuffer& first, int32_t rows) {
  std::vector<uint8_t> scratch;
  const int32_t firstIndex = candidates_[0];
  copyRows(first, 0, 0, rows);
  states_[static_cast<size_t>(firstIndex)].status = FrameState::Status::Used;
  if (wantsSpill(job_.frames[static_cast<size_t>(firstIndex)]))
    keep(states_[static_cast<size_t>(firstIndex)], first, scratch);
  ++done_;

  std::vector<int32_t> rest;
  for (int32_t c = 1; c < static_cast<int32_t>(candidates_.size()); ++c) rest.push_back(c);
  const auto runs = runsOf(rest);
  forEachItem(
      static_cast<int32_t>(runs.size()), job_.threads,
      [&](int32_t run, std::vector<uint8_t>& buffer) {
        ImageSlot frame;
        for (int32_t r = runs[static_cast<size_t>(run)].first; r < runs[static_cast<size_t>(run)].second; ++r) {
          if (stopRequested()) return;
          const int32_t c = rest[static_cast<size_t>(r)];
          const size_t index = static_cast<size_t>(candidates_[static_cast<size_t>(c)]);
          FrameState& state = states_[index];
          frame.reset();
          if (!job_.load(job_.frames[index], frame, &state.why) || !frame) {
            state.status = FrameState::Status::PassedOver;
          } else if (std::string why = unlike(*frame); !why.empty()) {
            state.status = FrameState::Status::PassedOver;
            state.why = std::move(why);
          } else {
            copyRows(*frame, c, 0, rows);
            state.status = FrameState::Status::Used;
            if (wantsSpill(job_.frames[index])) keep(state, *frame, buffer);
          }
          ++done_;
        }
      },
      [&] { step(); });
  for (int32_t c = 0; c < static_cast<int32_t>(candidates_.size()); ++c)
    if (states_[static_cast<size_t>(candidates_[static_cast<size_t>(c)])].status == FrameState::Status::Used)
      used_.push_back(c);
}

// A later band: kept frames from the temporary file, the others read again.
// False when a frame no longer reads as it did (lostFrame() names it).
bool BandCombiner::readBand(int32_t y0, int32_t rows) {
  std::vector<int32_t> kept, again;
  for (const int32_t c : used_)
    (states_[static_cast<size_t>(candidates_[static_cast<size_t>(c)])].spillBytes ? kept : again).push_back(c);
  std::atomic<int32_t> lost{-1};
  auto lose = [&](int32_t index) {
    int32_t none = -1;
    lost.compare_exchange_strong(none, index);
  };
  forEachItem(
      static_cast<int32_t>(kept.size()), job_.threads,
      [&](int32_t k, std::vector<uint8_t>& buffer) {
        const int32_t c = kept[static_cast<size_t>(k)];
        const int32_t index = candidates_[static_cast<size_t>(c)];
        FrameState& state = states_[static_cast<size_t>(index)];
        if (!readKept(state, c, y0, rows, buffer)) {
          state.why = "its copy in the temporary file could not be read";
          lose(index);
        }
        ++done_;
      },
      [&] { step(); });
  const auto runs = runsOf(again);
  forEachItem(
      static_cast<int32_t>(runs.size()), job_.threads,
      [&](int32_t run, std::vector<uint8_t>&) {
        ImageSlot frame;
        for (int32_t r = runs[static_cast<size_t>(run)].first; r < runs[static_cast<size_t>(run)].second; ++r) {
          if (stopRequested() || lost.load() >= 0) return;
          const int32_t c = again[static_cast<size_t>(r)];
          const int32_t index = candidates_[static_cast<size_t>(c)];
          FrameState& state = states_[static_cast<size_t>(index)];
          frame.reset();
          if (!job_.load(job_.frames[static_cast<size_t>(index)], frame, &state.why) || !frame) {
            lose(index);
            return;
          }
          if (std::string why = unlike(*frame); !why.empty()) {
            state.why = std::move(why);
            lose(index);
            return;
          }
          copyRows(*frame, c, y0, rows);
          ++done_;
        }
      },
      [&] { step(); });
  lost_ = lost.load();
  return lost_ < 0;
}

void BandCombiner::combineBand(int32_t y0, int32_t rows) {
  const int64_t positions = rows * rowValues_;
  const int32_t n = static_cast<int32_t>(used_.size());
  const bool median = job_.combine.method == CombineMethod::Median;
  const double kappaLow = job_.combine.kappaLow, kappaHigh = job_.combine.kappaHigh;
  float* out = reinterpret_cast<float*>(master_->row(y0));
  std::vector<const float*> frames;
  for (const int32_t c : used_) frames.push_back(slot(c));
  // A NaN, which no reader gives, counts as 0 so that ordering stays defined.
  auto valueOf = [](float v) { return v == v ? v : 0.0f; };
  if (n <= kNetworkFrames) {
    // A median needs the middle positions only; sigma clipping every one.
    std::vector<bool> wanted(static_cast<size_t>(n), !median);
    wanted[static_cast<size_t>(n / 2)] = wanted[static_cast<size_t>((n - 1) / 2)] = true;
    const auto network = stepsTowards(sortingNetwork(n), wanted);
    parallelRanges(positions, job_.threads, kCombineGrain, [&](int64_t first, int64_t end) {
      std::vector<float> lanes(static_cast<size_t>(kLanes * n)), values(static_cast<size_t>(n)), sorted(values.size());
      for (int64_t p = first; p < end; p += kLanes) {
        const int64_t m = std::min(kLanes, end - p);
        for (int32_t j = 0; j < n; ++j) {
          float* to = lanes.data() + j * kLanes;
          for (int64_t l = 0; l < m; ++l) to[l] = valueOf(frames[static_cast<size_t>(j)][p + l]);
          std::fill(to + m, to + kLanes, 0.0f);
        }
        sortLanes(lanes.data(), network);
        for (int64_t l = 0; l < m; ++l) {
          if (median) {
            const float upper = lanes[static_cast<size_t>((n / 2) * kLanes + l)];
            out[p + l] = n % 2 == 1 ? upper
                                    : static_cast<float>((static_cast<double>(lanes[static_cast<size_t>((n / 2 - 1) * kLanes + l)]) +
                                                          static_cast<double>(upper)) * 0.5);
            continue;
          }
          for (int32_t j = 0; j < n; ++j) {
            sorted[static_cast<size_t>(j)] = lanes[static_cast<size_t>(j * kLanes + l)];
            values[static_cast<size_t>(j)] = valueOf(frames[static_cast<size_t>(j)][p + l]);
          }
          out[p + l] = clipSorted(values.data(), sorted.data(), n, kappaLow, kappaHigh);
        }
      }
    });
    return;
  }
  parallelRanges(positions, job_.threads, kCombineGrain, [&](int64_t first, int64_t end) {
    std::vector<float> gathered(static_cast<size_t>(kBlock * n)), scratch(static_cast<size_t>(n));
    for (int64_t p = first; p < end; p += kBlock) {
      const int64_t m = std::min(kBlock, end - p);
      // Position q's values in list order at gathered[q * n].
      for (int32_t j = 0; j < n; ++j) {
        const float* in = frames[static_cast<size_t>(j)] + p;
        float* to = gathered.data() + j;
        for (int64_t q = 0; q < m; ++q) to[q * n] = valueOf(in[q]);
      }
      for (int64_t q = 0; q < m; ++q) {
        float* values = gathered.data() + q * n;
        out[p + q] = median ? medianOf(values, n) : sigmaClippedMeanOf(values, scratch.data(), n, kappaLow, kappaHigh);
      }
    }
  });
}

BandCombiner::Ending BandCombiner::Run(CombineOutcome& outcome) {
  ImageSlot first;
  if (!findFirstFrame(first)) return stopRequested() ? Ending::Stopped : Ending::NoFrame;
  if (!plan(*first)) return Ending::NoMemory;
  const int32_t bands = (height_ + bandRows_ - 1) / bandRows_;
  steps_ = static_cast<int64_t>(bands) * static_cast<int64_t>(candidates_.size());
  if (bands > 1 && job_.spill != SpillFrames::None) spill_.open(job_.spillFolder);
  for (int32_t band = 0; band < bands; ++band) {
    if (stopRequested()) return Ending::Stopped;
    const int32_t y0 = band * bandRows_;
    const int32_t rows = std::min(bandRows_, height_ - y0);
    if (band == 0) {
      readFirstBand(*first, rows);
      first.reset();
    } else if (!readBand(y0, rows)) {
      return Ending::FrameLost;
    }
    if (stopRequested()) return Ending::Stopped;
    combineBand(y0, rows);
    done_ = static_cast<int64_t>(band + 1) * static_cast<int64_t>(candidates_.size());
    step();
  }
  if (stopRequested()) return Ending::Stopped;
  outcome.master = std::move(master_);
  outcome.combined = static_cast<int32_t>(used_.size());
  outcome.bands = bands;
  for (const FrameState& state : states_) outcome.spilled += state.spillBytes ? 1 : 0;
  return Ending::Done;
}

}  // namespace

float medianOf(float* values, int32_t count) {
  assert(count > 0 && "a median needs a value");
  const int32_t half = count / 2;
  std::nth_element(values, values + half, values + count);
  const float upper = values[half];
  if (count % 2 == 1) return upper;
  const float lower = *std::max_element(values, values + half);
  return static_cast<float>((static_cast<double>(lower) + static_cast<double>(upper)) * 0.5);
}

namespace {

float clipSorted(const float* values, const float* sorted, int32_t count, double kappaLow, double kappaHigh) {
  // The kept values are always a run [first, end) of the sorted values: a
  // pass drops from either end only.
  int32_t first = 0, end = count;
  for (;;) {
    const int32_t n = end - first;
    const int32_t half = first + n / 2;
    const double median =
        n % 2 == 1 ? sorted[half] : (static_cast<double>(sorted[half - 1]) + static_cast<double>(sorted[half])) * 0.5;
    double sum = 0.0;
    for (int32_t i = first; i < end; ++i) sum += sorted[i];
    const double mean = sum / n;
    double squares = 0.0;
    for (int32_t i = first; i < end; ++i) {
      const double d = sorted[i] - mean;
      squares += d * d;
    }
    const double sigma = std::sqrt(squares / n);
    const double low = median - kappaLow * sigma;
    const double high = median + kappaHigh * sigma;
    int32_t keptFirst = first, keptEnd = end;
    while (keptFirst < keptEnd && sorted[keptFirst] < low) ++keptFirst;
    while (keptEnd > keptFirst && sorted[keptEnd - 1] > high) --keptEnd;
    if (keptFirst == keptEnd || (keptFirst == first && keptEnd == end)) break;
    first = keptFirst;
    end = keptEnd;
  }
  const float lowest = sorted[first], highest = sorted[end - 1];
  double sum = 0.0;
  for (int32_t i = 0; i < count; ++i)
    if (values[i] >= lowest && values[i] <= highest) sum += values[i];
  return static_cast<float>(sum / (end - first));
}

}  // namespace

float sigmaClippedMeanOf(const float* values, float* scratch, int32_t count, double kappaLow, double kappaHigh) {
  assert(count > 0 && "a mean needs a value");
  std::copy(values, values + count, scratch);
  std::sort(scratch, scratch + count);
  return clipSorted(values, scratch, count, kappaLow, kappaHigh);
}

std::string describeCombine(const CombineGroup& combine) {
  auto number = [](float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
  };
  switch (combine.method) {
    case CombineMethod::Average: return "average";
    case CombineMethod::Median: return "median";
    case CombineMethod::SigmaClip:
      return "sigma clipping (kappa low " + number(combine.kappaLow) + ", kappa high " + number(combine.kappaHigh) + ")";
  }
  return "average";
}

bool parseMemoryMiB(std::string_view text, int64_t& bytes) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  int64_t mib = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), mib);
  if (error != std::errc() || end != text.data() + text.size() || mib < 1 || mib > kMaxMemoryMiB) return false;
  bytes = mib << 20;
  return true;
}

CombineOutcome combineFrames(const CombineJob& job) {
  std::vector<bool> excluded(job.frames.size(), false);
  std::vector<CombineFailure> lost;
  for (;;) {
    CombineOutcome outcome;
    BandCombiner combiner(job, excluded);
    const BandCombiner::Ending ending = combiner.Run(outcome);
    if (ending == BandCombiner::Ending::FrameLost) {
      // Frames that read in the first band but not in a later one are left
      // out of a fresh start, so every value comes from the same frames.
      const int32_t index = combiner.lostFrame();
      excluded[static_cast<size_t>(index)] = true;
      const std::string& why = combiner.states()[static_cast<size_t>(index)].why;
      lost.push_back({index, why.empty() ? "it could no longer be read" : why});
      continue;
    }
    if (ending == BandCombiner::Ending::Stopped) return CombineOutcome();
    const std::vector<FrameState>& states = combiner.states();
    for (size_t i = 0; i < states.size(); ++i)
      if (states[i].status == FrameState::Status::PassedOver) outcome.passedOver.push_back({static_cast<int32_t>(i), states[i].why});
    outcome.passedOver.insert(outcome.passedOver.end(), lost.begin(), lost.end());
    std::sort(outcome.passedOver.begin(), outcome.passedOver.end(),
              [](const CombineFailure& a, const CombineFailure& b) { return a.frame < b.frame; });
    if (ending != BandCombiner::Ending::Done) outcome.master.reset();
    return outcome;
  }
}

}  // namespace stelp
