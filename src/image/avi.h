#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "image_buffer.h"

namespace stelp {

// Frames per second of the AVI files we write.
constexpr uint32_t kAviFramesPerSecond = 5;
// A RIFF segment is closed and the file continues in an OpenDML 'AVIX'
// segment before it would pass this size, so long exports stay one valid file.
constexpr uint64_t kAviRiffLimit = uint64_t{1} << 30;

// Number of frames of the first video stream of the AVI file at `path`; 0
// when the file cannot be read as a video.
int32_t aviFrameCount(const std::string& path, std::string* why = nullptr);

// The frame size of the first video stream of the AVI file at `path`, from
// its headers with the checks a read of frame 0 makes before it reads pixels;
// a compressed frame 0 is decoded, as only the codec can say that it decodes
// and to what size. False, with the reason, when frame 0 would be refused.
bool aviFrameSize(const std::string& path, int32_t& width, int32_t& height, std::string* why = nullptr);

// Reads frame `frameIndex` of the first video stream into a new buffer of
// `format`. False, with `slot` untouched, for a negative index, an index at or
// past the end, or a file or frame that cannot be read or decoded.
// aviFrameCount and this readAviFrame may be called from several threads at
// once: reads of different files never wait for each other, reads of one
// compressed video take turns with its decoder.
bool readAviFrame(const std::string& path, int32_t frameIndex, PixelFormat format, ImageSlot& slot,
                  std::string* why = nullptr);

// Adds frame `frameIndex`, as readAviFrame reads it in the format of `sum`
// (GrayFloat or BgrFloat), value by value to `sum` in single precision
// without storing the frame. False, with `sum` untouched, where readAviFrame
// would refuse the frame or it has another size than `sum`.
bool addAviFrame(const std::string& path, int32_t frameIndex, ImageBuffer& sum);

// The same from bytes in memory or an open input, keeping nothing between
// calls: for tests and fuzzing.
class ByteInput;
bool readAviFrame(ByteInput& input, int32_t frameIndex, PixelFormat format, ImageSlot& slot,
                  std::string* why = nullptr);

// Drops the parsed indexes and decoders kept between readAviFrame calls.
void clearAviReadCache();

class AviOutput;  // the open file and its indexes while writing

// The state of an AVI file being written: one uncompressed video stream at
// five frames per second, 24-bit for colour frames and 8-bit grey otherwise.
struct AviWriter {
  AviWriter();
  ~AviWriter();
  AviWriter(const AviWriter&) = delete;
  AviWriter& operator=(const AviWriter&) = delete;

  std::unique_ptr<AviOutput> output;   // empty when no file is open
  uint64_t riffLimit = kAviRiffLimit;  // bytes per RIFF segment; tests lower it
};

// Starts a video that will replace `path`, with a stream whose format comes
// from `first` (its size and colour mode). The frames go to a temporary file
// beside it; `path` changes only when closeAviWriter succeeds, so a failed or
// abandoned video leaves the previous file as it was. False when it cannot
// (see FileOutput for which paths are refused).
bool openAviWriter(AviWriter& writer, const std::string& path, const ImageBuffer& first,
                   std::string* why = nullptr);

// Appends `frame` as the next key frame. False when there is no open file, the
// frame does not match the first one, or its bytes could not be written.
bool writeAviFrame(AviWriter& writer, const ImageBuffer& frame, std::string* why = nullptr);

// Writes the indexes and the final sizes and puts the file in place under
// its name; the writer is empty afterwards. False, with the previous file
// kept, when finishing the file or putting it in place failed.
bool closeAviWriter(AviWriter& writer, std::string* why = nullptr);

}  // namespace stelp
