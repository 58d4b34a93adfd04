#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_io.h"

namespace stelp {

// RIFF layout: a chunk is a four-character code, a 32-bit little-endian data
// size and the data, padded to an even length; a LIST adds its list type.
constexpr size_t kRiffChunkHeaderSize = 8;
constexpr size_t kRiffListHeaderSize = 12;

constexpr uint32_t fourCc(const char (&code)[5]) {
  return uint32_t(uint8_t(code[0])) | (uint32_t(uint8_t(code[1])) << 8) | (uint32_t(uint8_t(code[2])) << 16) |
         (uint32_t(uint8_t(code[3])) << 24);
}

// The codes and flags of the AVI layout shared by the reader and the writer.
constexpr uint32_t kRiffId = fourCc("RIFF");
constexpr uint32_t kListId = fourCc("LIST");
constexpr uint32_t kAviForm = fourCc("AVI ");
constexpr uint32_t kAviExtensionForm = fourCc("AVIX");  // OpenDML segments after the first
constexpr uint32_t kHeaderList = fourCc("hdrl");
constexpr uint32_t kStreamList = fourCc("strl");
constexpr uint32_t kStreamHeader = fourCc("strh");
constexpr uint32_t kStreamFormat = fourCc("strf");
constexpr uint32_t kOpenDmlIndex = fourCc("indx");
constexpr uint32_t kMovieList = fourCc("movi");
constexpr uint32_t kOldIndex = fourCc("idx1");
constexpr uint32_t kVideoType = fourCc("vids");
constexpr uint32_t kOldIndexKeyFrame = 0x10;  // idx1 dwFlags
constexpr uint8_t kIndexOfIndexes = 0;        // OpenDML bIndexType
constexpr uint8_t kIndexOfChunks = 1;

// Where one frame's bytes lie in the file.
struct AviFrameEntry {
  uint64_t offset = 0;  // first data byte
  uint32_t size = 0;    // 0: a dropped frame, shown as the one before it
  bool key = true;
};

// The first video stream of an AVI file, as far as reading its frames needs.
struct AviStreamIndex {
  int streamNumber = -1;          // position of the stream among the file's streams
  uint32_t handler = 0;           // fccHandler of the stream header
  std::vector<uint8_t> format;    // the stream format: BITMAPINFOHEADER and what follows it
  std::vector<AviFrameEntry> frames;
  bool keyFlagsKnown = true;      // false when the frames were found by scanning
};

// Parses the headers of an AVI file and builds the frame index of its first
// video stream from the OpenDML index, else the 'idx1' index, else a scan of
// the 'movi' lists. False, with a reason, when there is no video to read.
bool parseAvi(ByteInput& input, AviStreamIndex& index, std::string* why = nullptr);

}  // namespace stelp
