#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_io.h"
#include "image_buffer.h"

namespace stelp {

// FITS layout: 80-character header cards in blocks of 36 (2880 bytes); data
// big-endian, padded to a whole block.
constexpr size_t kFitsCardSize = 80;
constexpr size_t kFitsBlockSize = 2880;
constexpr size_t kFitsCardsPerBlock = kFitsBlockSize / kFitsCardSize;

// The header values the reader uses. +-1e36 stands for "not given".
struct FitsHeader {
  double bitpix = -1;
  double naxis = -1;
  double naxis1 = -1;
  double naxis2 = -1;
  double bzero = 0;
  double bscale = 1;
  double blank = 1e36;
  double dataMin = -1e36;
  double dataMax = 1e36;
};

// Reads header blocks from the start of `input` into `header` (which holds
// the defaults) and applies the acceptance test. On true, `dataOffset` is the
// first data byte: the block boundary after the END card, or the end of the
// file when there is none.
bool readFitsHeader(ByteInput& input, FitsHeader& header, uint64_t& dataOffset,
                    std::string* why = nullptr);

// Appends exactly one 2880-byte header block describing `header` to `out`.
void writeFitsHeader(const FitsHeader& header, std::vector<uint8_t>& out);

// Reads the first image plane of a FITS file into a new buffer of `format`,
// normalised to the image's brightest value. False, with `slot` untouched,
// when the file is refused; `why` then says why.
bool readFits(ByteInput& input, PixelFormat format, ImageSlot& slot, std::string* why = nullptr);
bool readFits(const std::string& path, PixelFormat format, ImageSlot& slot,
              std::string* why = nullptr);

// Writes `image` as a 16-bit (BSCALE 128) or 32-bit (BSCALE 32768) integer
// FITS file, bottom row first. False when the file cannot be written whole.
bool writeFits(const std::string& path, const ImageBuffer& image, bool sixteenBit,
               std::string* why = nullptr);

}  // namespace stelp
