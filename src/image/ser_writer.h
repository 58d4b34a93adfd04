#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "byte_io.h"
#include "image_buffer.h"

namespace stelp {

// Colour ids of the SER files Stelp writes: grey frames as mono or, for a
// mosaic from a colour sensor, under the Bayer id of its pattern (8 RGGB,
// 9 GRBG, 10 GBRG, 11 BGGR); colour frames as RGB.
constexpr int32_t kSerMono = 0;
constexpr int32_t kSerFirstBayer = 8;
constexpr int32_t kSerLastBayer = 11;
constexpr int32_t kSerRgb = 100;

// Bits per stored value: one byte, or a 16-bit word with PixelDepthPerPlane 16.
enum class SerDepth { Eight, Sixteen };

// The capture's details a SER header holds beside the frame layout: the
// three text fields as stored (40 bytes each, unterminated when full) and
// the start of the capture, local and UTC, in 100 ns ticks since the start
// of year 1.
struct SerDetails {
  std::array<char, 40> observer{};
  std::array<char, 40> instrument{};
  std::array<char, 40> telescope{};
  uint64_t dateTime = 0;
  uint64_t dateTimeUtc = 0;
};

// What an export keeps of a SER source: its details and the time stamps
// of its frames (same ticks as the dates), one per complete frame, or none
// when the file has no trailer of time stamps after its frames.
struct SerCapture {
  SerDetails details;
  std::vector<uint64_t> timeStamps;
};

// Reads the details and the trailer of a SER file. A trailer counts only
// when it holds a stamp for every frame the header declares and follows
// them all. False, with the reason, when the file is not a readable SER
// video (see readSerHeader).
bool readSerCapture(ByteInput& input, SerCapture& capture, std::string* why = nullptr);
bool readSerCapture(const std::string& path, SerCapture& capture, std::string* why = nullptr);

// The frames of a SER file to write.
struct SerLayout {
  int32_t width = 0;
  int32_t height = 0;
  int32_t colourId = kSerMono;  // mono, a Bayer id or RGB
  SerDepth depth = SerDepth::Eight;
};

// Mono for a grey frame, the Bayer id of its pattern for a mosaic, RGB for a
// colour frame, at `depth`.
SerLayout serLayoutOf(const ImageBuffer& frame, SerDepth depth);

class SerOutput;  // the open file while writing

// The state of a SER file being written.
struct SerWriter {
  SerWriter();
  ~SerWriter();
  SerWriter(const SerWriter&) = delete;
  SerWriter& operator=(const SerWriter&) = delete;

  std::unique_ptr<SerOutput> output;  // empty when no file is open
};

// Starts a video of `layout` that will replace `path`: the 178-byte header,
// with `details`, a frame count of 0 until the file is closed, and 16-bit
// data little-endian with the LittleEndian field 0, as capture programs
// write it (and as readSerFrame reads it). The frames go to a temporary
// file beside `path`, which changes only when closeSerWriter succeeds, so a
// failed or abandoned video leaves the previous file as it was. False when
// the layout is not one Stelp writes or the file cannot be created.
bool openSerWriter(SerWriter& writer, const std::string& path, const SerLayout& layout,
                   const SerDetails& details = {}, std::string* why = nullptr);

// Appends `frame`, top row first: each engine value (0..255; a colour
// frame's channels in the order red, green, blue) rounded to the nearest
// integer, or times 257 rounded in 16-bit files, and held within the range
// of the depth. False when there is no open file, the frame's size or
// colour does not match the layout, or its bytes could not be written.
bool writeSerFrame(SerWriter& writer, const ImageBuffer& frame, std::string* why = nullptr);

// Appends `timeStamps` (none, or one per frame written) as the trailer,
// puts the frame count in the header and the file in place under its name;
// the writer is empty afterwards. False, with the previous file kept, when
// no frame was written, the stamps do not match the frames, or finishing
// the file failed.
bool closeSerWriter(SerWriter& writer, const std::vector<uint64_t>& timeStamps = {}, std::string* why = nullptr);

}  // namespace stelp
