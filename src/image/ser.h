#pragma once

#include <cstdint>
#include <string>

#include "byte_io.h"
#include "fits_options.h"
#include "image_buffer.h"

namespace stelp {

// SER layout: a 178-byte header of little-endian fields, then the frames one
// after another, top row first, then an optional trailer of one 8-byte time
// stamp per frame, which the reader does not need.
constexpr size_t kSerHeaderSize = 178;
// The header's file id and where its fields lie (LuID, at 14, is unused;
// Observer, Instrument and Telescope are 40 bytes each, the two dates 8).
constexpr char kSerFileId[] = "LUCAM-RECORDER";
constexpr size_t kSerFileIdSize = sizeof kSerFileId - 1;
constexpr size_t kSerColourIdAt = 18;
constexpr size_t kSerLittleEndianAt = 22;
constexpr size_t kSerWidthAt = 26;
constexpr size_t kSerHeightAt = 30;
constexpr size_t kSerDepthAt = 34;
constexpr size_t kSerFrameCountAt = 38;

// What the reader takes from a SER header, checked: a colour id it reads,
// a depth of 1 to 16 bits, a frame that fits in the file and at least one
// frame.
struct SerHeader {
  int32_t colourId = 0;       // 0 mono, 8-11 Bayer RGGB, GRBG, GBRG, BGGR, 100 RGB, 101 BGR
  int32_t littleEndian = 0;   // the field as stored; see bigEndianData
  int32_t width = 0;
  int32_t height = 0;
  int32_t depth = 0;          // bits per value: 1..8 in bytes, 9..16 in 16-bit words
  int32_t declaredFrames = 0; // FrameCount
  int32_t planes = 1;         // 3 for RGB and BGR, interleaved per pixel
  uint64_t frameBytes = 0;
  int32_t frames = 0;         // the complete frames the file holds, at most declaredFrames

  int32_t bytesPerValue() const { return depth > 8 ? 2 : 1; }
  // The LittleEndian field is written the opposite way from the format's own
  // description by practically every capture program: in real files 0 goes
  // with little-endian 16-bit data and any other value with big-endian data.
  // Files are read the way they are written.
  bool bigEndianData() const { return littleEndian != 0; }
};

// Reads and checks the header of a SER file. False, with the reason, for a
// file that is not SER, a header cut short, a colour id or depth that is not
// read, an empty or overflowing frame size, a frame larger than the file, or
// no frames.
bool readSerHeader(ByteInput& input, SerHeader& header, std::string* why = nullptr);
bool readSerHeader(const std::string& path, SerHeader& header, std::string* why = nullptr);

// The complete frames of the SER file at `path`; 0, with the reason, when it
// is not a readable SER video.
int32_t serFrameCount(const std::string& path, std::string* why = nullptr);

// Reads frame `frame` into a new buffer of `format`: one seek and one read.
// 8-bit values are kept as they are; 16-bit words are brought to 0..255 on
// `scale`: on the camera's scale 2^depth - 1 reads as 255, on the brightest
// pixel scale the frame's greatest value does. A colour frame reads as its
// luminance in the grey formats; a mono or Bayer frame fills every channel
// of the colour formats. A Bayer frame read in a grey format is the mosaic,
// its pattern in the buffer. False, with `slot` untouched, when it cannot.
bool readSerFrame(ByteInput& input, int32_t frame, PixelFormat format, ImageSlot& slot, std::string* why = nullptr,
                  FitsScale scale = FitsScale::Camera);
bool readSerFrame(const std::string& path, int32_t frame, PixelFormat format, ImageSlot& slot,
                  std::string* why = nullptr, FitsScale scale = FitsScale::Camera);

// Adds frame `frame`, as readSerFrame reads it in the format of `sum`
// (GrayFloat or BgrFloat), value by value to `sum` in single precision
// without storing the frame. False, with `sum` untouched, when it would not
// read or has another size or mosaic than `sum`.
bool addSerFrame(const std::string& path, int32_t frame, ImageBuffer& sum, FitsScale scale = FitsScale::Camera);

// The Bayer pattern of the file's frames: None for mono, RGB and BGR.
BayerPattern serBayerPattern(const SerHeader& header);

// The second line `stelp-cli info` prints for a SER file: depth, colour id,
// byte order of 16-bit data, and the frames the header claims beyond those
// the file holds.
std::string serDescription(const SerHeader& header);

}  // namespace stelp
