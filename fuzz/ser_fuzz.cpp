// libFuzzer target for the SER frame reader: the first byte picks the pixel
// format, the second the frame to read (0..3) and the scale, the remaining
// bytes are the file.

#include <memory>
#include <string>

#include "fuzz_common.h"
#include "image/ser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const stelp::PixelFormat format = stelp::fuzz::formatFromSelector(data[0]);
  const int32_t frameIndex = data[1] % 4;
  const stelp::FitsScale scale = (data[1] / 4) % 2 ? stelp::FitsScale::BrightestPixel : stelp::FitsScale::Camera;
  stelp::MemoryInput input(data + 2, size - 2);

  stelp::SerHeader header;
  if (stelp::readSerHeader(input, header) &&
      (header.frames < 1 || header.frames > header.declaredFrames ||
       stelp::kSerHeaderSize + header.frameBytes * static_cast<uint64_t>(header.frames) > input.size()))
    stelp::fuzz::fail("the complete frames are not within the file and the header's count");

  stelp::ImageSlot slot = std::make_unique<stelp::ImageBuffer>();
  const stelp::ImageBuffer* before = slot.get();
  std::string why;
  const bool accepted = stelp::readSerFrame(input, frameIndex, format, slot, &why, scale);
  stelp::fuzz::checkOutcome(accepted, format, slot, before, why);
  return 0;
}
