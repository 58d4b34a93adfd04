// libFuzzer target for the FITS reader: the first byte picks the pixel
// format and the scale, the remaining bytes are the file, whose header cards
// are also read for copying.

#include "fuzz_common.h"
#include "image/fits.h"

namespace {
stelp::FitsScale scale = stelp::FitsScale::Camera;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  scale = (data[0] / 6) % 2 ? stelp::FitsScale::BrightestPixel : stelp::FitsScale::Camera;
  stelp::MemoryInput input(data + 1, size - 1);
  for (const std::string& card : stelp::readFitsObservationCards(input))
    if (card.size() != stelp::kFitsCardSize) stelp::fuzz::fail("a copied card is not 80 characters");
  // The lambda picks the ByteInput overload of readFits.
  return stelp::fuzz::runReader(
      [](stelp::ByteInput& file, stelp::PixelFormat format, stelp::ImageSlot& slot, std::string* why) {
        return stelp::readFits(file, format, slot, why, scale);
      },
      data, size);
}
