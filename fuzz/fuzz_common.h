#pragma once

// Shared by the reader fuzz targets: picks the requested pixel format from
// the first input byte and checks what a reader hands back.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "image/byte_io.h"
#include "image/image_buffer.h"

// Undefined behaviour must end the run so that libFuzzer keeps the input;
// by default UBSan only prints a report and carries on.
extern "C" const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }

namespace stelp::fuzz {

// The first byte chooses one of the six pixel formats so that every
// conversion path of a reader gets exercised; the rest is the file.
inline PixelFormat formatFromSelector(uint8_t selector) {
  return static_cast<PixelFormat>(selector % 6 + 1);
}

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "reader contract broken: %s\n", what);
  std::abort();
}

// A reader signature shared by readFits and readBitmap.
using Reader = bool (*)(ByteInput&, PixelFormat, ImageSlot&, std::string*);

// Checks what a reader handed back for a request of `format`: on refusal the
// slot is left alone and a reason is given; on success the buffer matches the
// requested format and every pixel byte can be read (AddressSanitizer reports
// any byte past the allocation). `before` is the buffer the slot held before
// the call.
inline void checkOutcome(bool accepted, PixelFormat format, const ImageSlot& slot, const ImageBuffer* before,
                         const std::string& why) {
  if (!accepted) {
    if (slot.get() != before) fail("a refused file replaced the slot");
    if (why.empty()) fail("a refused file gave no reason");
    return;
  }

  const ImageBuffer* image = slot.get();
  if (image == nullptr || image == before) fail("an accepted file left the slot unchanged");
  if (image->format != format) fail("the buffer has another format than requested");
  if (image->width <= 0 || image->height <= 0) fail("the buffer has no pixels");
  if (image->bytesPerPixel != bytesPerPixelOf(format)) fail("bytesPerPixel does not match the format");
  if (static_cast<int64_t>(image->rowBytes) != int64_t{image->width} * image->bytesPerPixel)
    fail("rowBytes is not width x bytesPerPixel");
  if (!image->pixels) fail("the buffer has no pixel memory");

  // Touch every pixel byte, row by row through row() as a caller would.
  uint64_t sum = 0;
  for (int32_t y = 0; y < image->height; ++y) {
    const uint8_t* row = image->row(y);
    for (int32_t i = 0; i < image->rowBytes; ++i) sum += row[i];
  }
  volatile uint64_t sink = sum;
  (void)sink;
}

// Runs `read` on `data` (selector byte, then the file) and checks the outcome.
inline int runReader(Reader read, const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const PixelFormat format = formatFromSelector(data[0]);
  MemoryInput input(data + 1, size - 1);

  ImageSlot slot = std::make_unique<ImageBuffer>();
  const ImageBuffer* before = slot.get();
  std::string why;
  const bool accepted = read(input, format, slot, &why);
  checkOutcome(accepted, format, slot, before, why);
  return 0;
}

}  // namespace stelp::fuzz
