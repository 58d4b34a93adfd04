// libFuzzer target for the AVI frame reader: the first byte picks the pixel
// format, the second the frame to read (0..3), the remaining bytes are the
// file. Frames past the first make the reader walk the index and, for
// compressed streams, feed the decoder several packets in a row.

#include <memory>
#include <string>

#include "fuzz_common.h"
#include "image/avi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const stelp::PixelFormat format = stelp::fuzz::formatFromSelector(data[0]);
  const int32_t frameIndex = data[1] % 4;
  stelp::MemoryInput input(data + 2, size - 2);

  stelp::ImageSlot slot = std::make_unique<stelp::ImageBuffer>();
  const stelp::ImageBuffer* before = slot.get();
  std::string why;
  const bool accepted = stelp::readAviFrame(input, frameIndex, format, slot, &why);
  stelp::fuzz::checkOutcome(accepted, format, slot, before, why);
  return 0;
}
