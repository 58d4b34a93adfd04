#include "engine/combine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <stop_token>

#include "engine/engine_util.h"
#include "engine/parallel.h"

namespace stelp {
namespace {

constexpr int32_t kWidth = 5, kHeight = 9;

// Frames made in memory: three of a video and four stills, values that an 8-bit source gives (whole) and others, an
// unreadable frame and one of another size. `failFrom` makes a frame fail from its n-th load on.
struct Night {
  Night() {
    for (int32_t i = 0; i < 9; ++i) {
      auto source = std::make_unique<ImageSource>();
      source->setPath(i < 3 ? "night.avi" : "still" + std::to_string(i) + ".fits", i < 3 ? i : FrameFits);
      auto frame = test::makeImage(PixelFormat::BgrFloat, kWidth, i == 5 ? kHeight + 1 : kHeight);
      auto* values = reinterpret_cast<float*>(frame->pixels.get());
      for (int64_t v = 0; v < static_cast<int64_t>(frame->pixelBytes() / sizeof(float)); ++v)
        values[v] = i < 3 ? static_cast<float>((v * 37 + i * 101) % 256) : static_cast<float>((v * 13 + i * 7) % 50) / 3.0f;
      frames[source.get()] = i == 4 ? nullptr : std::move(frame);
      job.frames.push_back(source.get());
      sources.push_back(std::move(source));
    }
    job.combine.method = CombineMethod::SigmaClip;
    job.combine.kappaLow = 1.5f;
    job.load = [this](const ImageSource* source, ImageSlot& slot, std::string* why) {
      const int count = ++loads.at(source);
      const auto fail = failFrom.find(source);
      const ImageBuffer* frame = frames.at(source).get();
      if (!frame || (fail != failFrom.end() && count >= fail->second)) {
        *why = "unreadable";
        return false;
      }
      slot = test::copyOf(*frame);
      return true;
    };
  }
  CombineOutcome run(int64_t memory, SpillFrames spill, int threads) {
    job.memory = memory;
    job.spill = spill;
    job.threads = threads;
    for (const auto& source : sources) loads[source.get()] = 0;  // no insertion while threads load
    return combineFrames(job);
  }

  std::vector<std::unique_ptr<ImageSource>> sources;
  std::map<const ImageSource*, std::unique_ptr<ImageBuffer>> frames;
  std::map<const ImageSource*, std::atomic<int>> loads;
  std::map<const ImageSource*, int> failFrom;
  CombineJob job;
};

std::vector<uint8_t> bytesOf(const ImageSlot& image) {
  if (!image) return {};
  return {image->pixels.get(), image->pixels.get() + image->pixelBytes()};
}

std::vector<int32_t> framesOf(const std::vector<CombineFailure>& failures) {
  std::vector<int32_t> frames;
  for (const CombineFailure& failure : failures) frames.push_back(failure.frame);
  return frames;
}

TEST(CombineTest, EveryCountOfFramesFollowsTheRulesBandsGiveWhatOneBandGivesAndAStopLeavesNoFile) {
  test::TempDir dir;
  constexpr int64_t kRow = 9 * kWidth * 3 * sizeof(float);  // a row of every frame
  for (const CombineMethod method : {CombineMethod::Median, CombineMethod::SigmaClip}) {
    Night night;
    night.job.combine.method = method;
    night.job.spillFolder = dir.file("");
    const CombineOutcome whole = night.run(int64_t{1} << 30, SpillFrames::None, 1);
    ASSERT_TRUE(whole.master);
    EXPECT_EQ(std::tuple(whole.bands, whole.combined, framesOf(whole.passedOver)),
              std::tuple(1, 7, std::vector<int32_t>{4, 5}));
    const struct { int64_t memory; SpillFrames spill; int threads; int bands, spilled; } cases[] = {
        {kRow, SpillFrames::None, 1, 9, 0},
        {kRow * 2, SpillFrames::Videos, 3, 5, 3},  // the video's frames kept as bytes
        {kRow * 4, SpillFrames::All, 2, 3, 7},     // the stills' as floats
    };
    for (const auto& c : cases) {
      const CombineOutcome banded = night.run(c.memory, c.spill, c.threads);
      EXPECT_EQ(bytesOf(banded.master), bytesOf(whole.master)) << c.bands;
      EXPECT_EQ(std::tuple(banded.bands, banded.spilled, banded.combined, framesOf(banded.passedOver)),
                std::tuple(c.bands, c.spilled, 7, std::vector<int32_t>{4, 5}));
    }
  }

  // A still that stops loading after the first band is left out of all of them: the work starts again without it.
  Night night;
  night.failFrom[night.job.frames[6]] = 2;
  const CombineOutcome banded = night.run(kRow, SpillFrames::Videos, 2);
  night.failFrom.clear();
  night.frames[night.job.frames[6]].reset();
  const CombineOutcome without = night.run(int64_t{1} << 30, SpillFrames::None, 1);
  EXPECT_EQ(bytesOf(banded.master), bytesOf(without.master));
  EXPECT_EQ(std::tuple(banded.combined, framesOf(banded.passedOver)), std::tuple(6, std::vector<int32_t>{4, 5, 6}));

  // A stop in the middle of a band hands back nothing and leaves neither a file in the folder nor an open descriptor.
  auto openFiles = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
  };
  const auto filesBefore = openFiles();
  Night halted;
  halted.job.spillFolder = dir.file("");
  std::stop_source stop;
  const auto load = halted.job.load;
  // The second band's first still asks for the stop while it loads.
  halted.job.load = [&](const ImageSource* source, ImageSlot& slot, std::string* why) {
    if (source == halted.job.frames[3] && halted.loads.at(source) == 1) stop.request_stop();
    return load(source, slot, why);
  };
  const CombineOutcome outcome = [&] {
    const StopScope scope(stop.get_token());
    return halted.run(kRow * 2, SpillFrames::Videos, 2);
  }();
  EXPECT_TRUE(stop.stop_requested());
  EXPECT_FALSE(outcome.master);
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("")));
  EXPECT_EQ(openFiles(), filesBefore);

  // Masters of every count of frames (sorted several positions at once, or one by one past 64 frames) equal the rules
  // applied value by value; random values with ties, in a frame whose width is no multiple of the positions sorted at
  // once.
  std::mt19937 random(5);
  constexpr int32_t kFrameWidth = 37;
  for (int32_t n = 1; n <= 70; ++n) {
    std::vector<std::unique_ptr<ImageSource>> sources;
    std::vector<std::vector<float>> frames;
    CombineJob job;
    for (int32_t i = 0; i < n; ++i) {
      sources.push_back(std::make_unique<ImageSource>());
      job.frames.push_back(sources.back().get());
      for (float& v : frames.emplace_back(kFrameWidth)) v = static_cast<float>(random() % 40) * 0.37f;
    }
    job.load = [&](const ImageSource* source, ImageSlot& slot, std::string*) {
      const size_t i = static_cast<size_t>(std::find(job.frames.begin(), job.frames.end(), source) - job.frames.begin());
      slot = test::floatImage(kFrameWidth, 1, frames[i]);
      return true;
    };
    for (const CombineMethod method : {CombineMethod::Median, CombineMethod::SigmaClip}) {
      job.combine = CombineGroup{method, 1.5f, 2.0f};
      const CombineOutcome outcome = combineFrames(job);
      ASSERT_TRUE(outcome.master) << n;
      for (int32_t x = 0; x < kFrameWidth; ++x) {
        std::vector<float> values, scratch(static_cast<size_t>(n));
        for (const auto& frame : frames) values.push_back(frame[static_cast<size_t>(x)]);
        const float expected = method == CombineMethod::Median
                                   ? medianOf(values.data(), n)
                                   : sigmaClippedMeanOf(values.data(), scratch.data(), n, 1.5, 2.0);
        ASSERT_EQ(test::pixelAt<float>(*outcome.master, x, 0), expected) << n << " frames, x " << x;
      }
    }
  }
}

}  // namespace
}  // namespace stelp
