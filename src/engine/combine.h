#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/processing_settings.h"
#include "engine/progress.h"
#include "image/image_buffer.h"
#include "image/image_source.h"

namespace stelp {

// The memory the frames' values of one band of rows may take while a median
// or sigma-clipped master is made, unless the user chooses another budget.
inline constexpr int64_t kDefaultCombineMemory = int64_t{1} << 30;
// The environment variable that sets the budget, in MiB, for the window and
// every command.
inline constexpr char kCombineMemoryVariable[] = "STELP_COMBINE_MEMORY";

// ---- The rules, applied to the values one pixel (and channel) has in the
// frames, in list order.

// The middle value; of an even count, the mean of the two middle values
// taken in double precision and rounded to float. Reorders `values`.
float medianOf(float* values, int32_t count);

// Sigma clipping: with m the median and s the standard deviation (divisor n,
// in double precision) of the values still kept, every kept value below
// m - kappaLow x s or above m + kappaHigh x s is dropped, until a pass drops
// nothing; the result is the mean of the kept values, summed in double
// precision in list order and rounded to float. A pass that would drop every
// value (only rounding can do that for kappas of 1 or more) is not made.
// `values` are left as they are; `scratch` holds `count` floats.
float sigmaClippedMeanOf(const float* values, float* scratch, int32_t count, double kappaLow, double kappaHigh);

// The method in words for a header card: "average", "median", or
// "sigma clipping (kappa low 3, kappa high 2.5)".
std::string describeCombine(const CombineGroup& combine);

// A budget given as a whole number of MiB ("256"): the bytes, or false for
// anything else (nothing, 0, a sign, a unit, more than 2^40 MiB).
bool parseMemoryMiB(std::string_view text, int64_t& bytes);

// ---- Any number of frames in bounded memory.

// Which frames, when the work takes more than one band, are read once and
// kept in a temporary file for the later bands instead of being read again
// for each band.
enum class SpillFrames {
  None,
  Videos,  // frames of videos, whose decoding costs most
  All,
};

// What combineFrames is to combine.
struct CombineJob {
  std::vector<const ImageSource*> frames;  // the enabled entries, in list order
  FrameSize frameSize;                     // the first frame used must have it (unless -1 x -1)
  CombineGroup combine;                    // Median or SigmaClip
  int64_t memory = kDefaultCombineMemory;  // for the frames' values of one band
  std::string spillFolder;                 // where the temporary file goes; empty: the system's
  SpillFrames spill = SpillFrames::Videos;
  int threads = 1;
  // Reads a frame as GrayFloat or BgrFloat; false, with the reason, when it
  // cannot. Called from several threads at once, each video's frames in list
  // order by one thread at a time. The first frame used fixes the format and
  // the Bayer pattern of the others.
  std::function<bool(const ImageSource*, ImageSlot&, std::string*)> load;
  // Why a frame of Bayer pattern `frame` (or of another format) does not join
  // frames of pattern `first`.
  std::function<std::string(BayerPattern frame, BayerPattern first)> mismatch;
  Progress* progress = nullptr;  // steps: one per frame read and band
};

// A frame that was passed over.
struct CombineFailure {
  int32_t frame = 0;  // index into CombineJob::frames
  std::string why;
};

struct CombineOutcome {
  ImageSlot master;  // none when no frame loaded or the work was stopped
  int32_t combined = 0;                   // frames that went into it
  std::vector<CombineFailure> passedOver;  // in list order
  // How the work went, for tests and benchmarks.
  int32_t bands = 0;
  int32_t spilled = 0;  // frames kept in the temporary file
};

// Combines the frames by job.combine in bands of rows: each band holds the
// values of every frame for its rows, as many rows as job.memory allows (at
// least one). The first frame that loads and has the frame size fixes the
// size; a frame that does not load or has another size is passed over and
// listed, and one that stops loading after the first band is passed over
// and the work done again without it. Under a stop request (see parallel.h)
// it stops between frames and bands and hands back no master. The temporary
// file has no name in the folder and goes with the work, however it ends.
CombineOutcome combineFrames(const CombineJob& job);

}  // namespace stelp
