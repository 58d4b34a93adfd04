// libFuzzer target for the FITS reader: the first byte picks the pixel
// format, the remaining bytes are the file.

#include "fuzz_common.h"
#include "image/fits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The lambda picks the ByteInput overload of readFits.
  return stelp::fuzz::runReader(
      [](stelp::ByteInput& input, stelp::PixelFormat format, stelp::ImageSlot& slot, std::string* why) {
        return stelp::readFits(input, format, slot, why);
      },
      data, size);
}
