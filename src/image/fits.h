#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_io.h"
#include "fits_options.h"
#include "image_buffer.h"
#include "stelp_version.h"

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
  double naxis3 = -1;
  double bzero = 0;
  double bscale = 1;
  double blank = 1e36;
  double dataMin = -1e36;
  // A colour sensor's mosaic: the pattern (BAYERPAT) at the pixel XBAYROFF
  // columns and YBAYROFF rows before the first, counted from the row
  // ROWORDER names; the strings without quotes and trailing blanks.
  std::string bayerPattern;
  double xBayerOffset = 0;
  double yBayerOffset = 0;
  std::string rowOrder;
};

// The Bayer pattern of the image `header` describes, at its top-left pixel as
// Stelp holds it (the last row stored is the top row); None without a
// BAYERPAT card of a four-letter pattern. ROWORDER 'BOTTOM-UP' says that the
// pattern is given from the image's top row, the last one stored; without
// it (or with 'TOP-DOWN') the pattern is given from the first row stored.
BayerPattern fitsBayerPattern(const FitsHeader& header);

// Reads header blocks from the start of `input` into `header` (which holds
// the defaults) and checks that they describe an image we can read: at least
// two axes, a width and a height of 1 to 2^31 - 1, BITPIX 8, 16, 32, -32 or
// -64 and a positive BSCALE. On true, `dataOffset` is the first data byte:
// the block boundary after the END card, or the end of the file when there
// is none.
bool readFitsHeader(ByteInput& input, FitsHeader& header, uint64_t& dataOffset,
                    std::string* why = nullptr);

// Header cards beyond a file's structure, each exactly 80 characters.
using FitsCards = std::vector<std::string>;

// Appends the header describing `header`, then `cards` and the END card, to
// `out`, filled with blanks to a whole number of 2880-byte blocks.
void writeFitsHeader(const FitsHeader& header, const FitsCards& cards, std::vector<uint8_t>& out);

// The width and height of the FITS image at `path`, from its header with
// every check a read makes before it reads data (the data size the header
// declares against the bytes the file holds), and in `bayer` (when given)
// the pattern a grey read gives the image (see fitsBayerPattern; None for an
// RGB cube). False, with the reason, when a read would refuse the file.
bool fitsFrameSize(const std::string& path, int32_t& width, int32_t& height, std::string* why = nullptr,
                   BayerPattern* bayer = nullptr);

// Reads the image of a FITS file into a new buffer of `format`, its values
// brought to 0..255 on `scale`. Integer (BITPIX 8, 16, 32) and float
// (BITPIX -32, -64) data are read; NaN and infinities read as 0. A cube of
// three planes (red, green, blue) reads as colour in the colour formats; any
// other image gives its first plane, in grey formats always. A grey format
// carries the pattern of a mosaic (see fitsBayerPattern). False, with
// `slot` untouched, when the file is refused; `why` then says why. `scaleNote`
// receives how the values were scaled.
bool readFits(ByteInput& input, PixelFormat format, ImageSlot& slot, std::string* why = nullptr,
              FitsScale scale = FitsScale::Camera, std::string* scaleNote = nullptr);
bool readFits(const std::string& path, PixelFormat format, ImageSlot& slot, std::string* why = nullptr,
              FitsScale scale = FitsScale::Camera, std::string* scaleNote = nullptr);

// Adds the image of the FITS file at `path`, as readFits reads it in the
// format of `sum` (GrayFloat or BgrFloat), value by value to `sum`: each sum
// becomes sum + value in single precision, as adding the read image would
// make it, without the image being stored. False, with `sum` untouched, when
// the file is refused or its image has another size or mosaic than `sum`.
bool addFits(const std::string& path, ImageBuffer& sum, FitsScale scale = FitsScale::Camera);

// The cards of a FITS file that describe the observation (DATE-OBS, EXPTIME,
// FILTER, OBJECT, COMMENT, HISTORY, ...), in their order: every card but the
// structural and scaling ones and those a writer sets itself (DATE,
// CREATOR, IMAGETYP, NCOMBINE), and but cards the FITS standard forbids.
// Empty when the file cannot be read as FITS.
FitsCards readFitsObservationCards(ByteInput& input);
FitsCards readFitsObservationCards(const std::string& path);

// Cards for a writer: a quoted string, an integer, and the HISTORY cards
// that hold `text` (several when it is longer than one card holds).
std::string fitsStringCard(const char* keyword, const std::string& value);
std::string fitsIntegerCard(const char* keyword, int64_t value);
FitsCards fitsHistoryCards(const std::string& text);

// Writes `image` as a FITS file of `depth`, bottom row first: unsigned 16-bit
// (value x 257, BZERO 32768) or 32-bit (value x 16843009, BZERO 2147483648)
// integers, rounded and clamped, of the grey value (the luminance of a colour
// image); or 32-bit floats of value / 255 clamped to 0..1, a colour image as a
// cube of red, green and blue planes. The header carries DATE and CREATOR,
// then `cards`. The mosaic cards are the writer's: a grey image of a colour
// sensor gets BAYERPAT naming the pattern of the first row written (in the
// place of the BAYERPAT of `cards`, if any, else after CREATOR), without
// offsets or ROWORDER; any other image gets no BAYERPAT, XBAYROFF or
// YBAYROFF. False when the file cannot be written whole.
bool writeFits(const std::string& path, const ImageBuffer& image, FitsDepth depth, std::string* why = nullptr,
               const FitsCards& cards = {});

// The program and version named in CREATOR.
inline constexpr const char* kCreatorText = "Stelp " STELP_VERSION_TEXT;

}  // namespace stelp
