// libFuzzer target for the bitmap reader: the first byte picks the pixel
// format, the remaining bytes are the file.

#include "fuzz_common.h"
#include "image/bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The lambda picks the ByteInput overload of readBitmap.
  return stelp::fuzz::runReader(
      [](stelp::ByteInput& input, stelp::PixelFormat format, stelp::ImageSlot& slot, std::string* why) {
        return stelp::readBitmap(input, format, slot, why);
      },
      data, size);
}
