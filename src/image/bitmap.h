#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_io.h"
#include "image_buffer.h"

namespace stelp {

// Device-independent bitmap layout.
constexpr size_t kBitmapFileHeaderSize = 14;
constexpr size_t kBitmapInfoHeaderSize = 40;
constexpr size_t kBitmapPaletteEntries = 256;
constexpr size_t kBitmapPaletteBytes = kBitmapPaletteEntries * 4;

// The palette of grey bitmaps and frames: entry i is blue = green = red = i.
std::vector<uint8_t> greyPalette();

// Bytes of one stored row of `width` pixels at `bitCount` bits (8, 24 or
// 32), padded to a multiple of 4. Computed in 64 bits: no width overflows it.
uint64_t dibRowBytes(int bitCount, int64_t width);

// Converts rows of 8-, 24- or 32-bit DIB pixels into buffer rows of
// `format`. `palette` holds 256 four-byte entries (blue, green, red, unused)
// and is used for 8-bit rows only; entries the file did not give are black.
// Made once per frame: for 8-bit rows it works out what each palette index
// becomes in `format`, so that a pixel costs one table look-up.
class DibRowDecoder {
 public:
  DibRowDecoder(int bitCount, const uint8_t* palette, PixelFormat format);
  // Converts the first `width` pixels of `source` into `destination`.
  void decode(const uint8_t* source, int32_t width, uint8_t* destination) const;
  // Adds the first `width` pixels of `source`, converted as decode converts
  // them (a float format), to `sum` value by value in single precision.
  // `scratch` has room for a converted row.
  void add(const uint8_t* source, int32_t width, float* sum, float* scratch) const;

 private:
  int bitCount_;
  PixelFormat format_;
  bool greyRamp_ = false;  // 8-bit rows whose palette is the grey ramp: the index is the grey level
  alignas(16) uint8_t table_[kBitmapPaletteEntries * 3 * sizeof(float)];  // 8-bit rows: each index's pixel bytes
};

// One row through a DibRowDecoder made for it alone.
void decodeDibRow(const uint8_t* source, int bitCount, const uint8_t* palette, int32_t width,
                  PixelFormat format, uint8_t* destination);

// Converts one buffer row into a DIB row: 24-bit for the colour formats,
// 8-bit grey otherwise, zero-padded to a multiple of 4. Returns its bytes.
size_t encodeDibRow(const uint8_t* source, PixelFormat format, int32_t width, uint8_t* destination);

// The width and height of the bitmap at `path`, from its headers with every
// check a read makes before it reads pixels. False, with the reason, when a
// read would refuse the file.
bool bitmapFrameSize(const std::string& path, int32_t& width, int32_t& height, std::string* why = nullptr);

// Reads an 8-, 24- or 32-bit uncompressed bitmap into a new buffer of
// `format`. False, with `slot` untouched, when the file is refused.
bool readBitmap(ByteInput& input, PixelFormat format, ImageSlot& slot, std::string* why = nullptr);
bool readBitmap(const std::string& path, PixelFormat format, ImageSlot& slot,
                std::string* why = nullptr);

// Writes a colour buffer as a 24-bit bitmap and any other as 8-bit grey with
// a grey palette, bottom row first. Replaces an existing file of that name.
bool writeBitmap(const std::string& path, const ImageBuffer& image, std::string* why = nullptr);

}  // namespace stelp
