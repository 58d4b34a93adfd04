// The least work any master frame of these inputs takes, on one thread: read
// every frame's bytes into one reused buffer, turn each value into a float
// and add it to a running sum. No scaling, no checks beyond what finding the
// data needs, no output file. peers_bench.sh times it beside stelp-cli.
//
//   read_floor fits FILE...   16-bit FITS images (the data after the header)
//   read_floor avi FILE       every frame of an 8-bit uncompressed AVI
//
// Prints the sum of the result, so that no work can be left out.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/avi_container.h"
#include "image/byte_io.h"
#include "image/fits.h"

namespace {

using namespace stelp;

int usage() {
  std::fprintf(stderr, "usage: read_floor fits FILE... | read_floor avi FILE\n");
  return 2;
}

double total(const std::vector<float>& sum) {
  double t = 0;
  for (float v : sum) t += v;
  return t;
}

int fitsFloor(int count, char** paths) {
  std::vector<uint8_t> data;
  std::vector<float> sum;
  for (int i = 0; i < count; ++i) {
    FileInput input;
    FitsHeader header;
    uint64_t offset = 0;
    std::string why;
    if (!input.open(paths[i], &why) || !readFitsHeader(input, header, offset, &why) || header.bitpix != 16) {
      std::fprintf(stderr, "read_floor: %s: %s\n", paths[i], why.empty() ? "not 16-bit" : why.c_str());
      return 1;
    }
    const size_t values = static_cast<size_t>(header.naxis1) * static_cast<size_t>(header.naxis2);
    data.resize(2 * values);
    sum.resize(values, 0.0f);
    if (input.readAt(offset, data.data(), data.size()) != data.size()) {
      std::fprintf(stderr, "read_floor: %s is cut short\n", paths[i]);
      return 1;
    }
    const uint8_t* p = data.data();
    for (size_t v = 0; v < values; ++v)
      sum[v] += static_cast<float>(static_cast<int16_t>((p[2 * v] << 8) | p[2 * v + 1]) + 32768);
  }
  std::printf("%.6g\n", total(sum));
  return 0;
}

int aviFloor(const char* path) {
  FileInput input;
  AviStreamIndex index;
  std::string why;
  if (!input.open(path, &why) || !parseAvi(input, index, &why)) {
    std::fprintf(stderr, "read_floor: %s: %s\n", path, why.c_str());
    return 1;
  }
  std::vector<uint8_t> frame;
  std::vector<float> sum;
  for (const AviFrameEntry& entry : index.frames) {
    frame.resize(entry.size);
    sum.resize(entry.size, 0.0f);
    if (input.readAt(entry.offset, frame.data(), frame.size()) != frame.size()) {
      std::fprintf(stderr, "read_floor: %s: a frame is cut short\n", path);
      return 1;
    }
    for (size_t v = 0; v < frame.size(); ++v) sum[v] += static_cast<float>(frame[v]);
  }
  std::printf("%.6g\n", total(sum));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "fits") == 0) return fitsFloor(argc - 2, argv + 2);
  if (argc == 3 && std::strcmp(argv[1], "avi") == 0) return aviFloor(argv[2]);
  return usage();
}
