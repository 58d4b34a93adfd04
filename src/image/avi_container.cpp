#include "avi_container.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "numeric.h"

namespace stelp {
namespace {

constexpr uint32_t kRecordList = fourCc("rec ");

constexpr uint32_t kNotKeyFrameBit = 0x80000000u;  // standard index dwSize
constexpr size_t kIndexHeaderSize = 24;  // both OpenDML index kinds, after the chunk header
constexpr size_t kOldIndexEntrySize = 16;
constexpr size_t kMaxFormatBytes = 1 << 20;  // a format block is a header and a palette

struct Chunk {
  uint32_t id = 0;
  uint64_t dataOffset = 0;
  uint64_t dataSize = 0;  // clipped to the enclosing range
  uint32_t listType = 0;  // for LIST and RIFF chunks
};

// Reads the header of the chunk at `offset` in a range ending at `end`. A
// chunk whose size runs past the range is clipped to it. False when no whole
// chunk header fits.
bool readChunk(ByteInput& input, uint64_t offset, uint64_t end, Chunk& chunk) {
  if (offset + kRiffChunkHeaderSize > end) return false;
  uint8_t header[kRiffListHeaderSize];
  const size_t got = input.readAt(offset, header, sizeof header);
  if (got < kRiffChunkHeaderSize) return false;
  chunk = Chunk();
  chunk.id = loadLe32(header);
  chunk.dataOffset = offset + kRiffChunkHeaderSize;
  chunk.dataSize = std::min<uint64_t>(loadLe32(header + 4), end - chunk.dataOffset);
  if ((chunk.id == kListId || chunk.id == kRiffId) && got == sizeof header && chunk.dataSize >= 4)
    chunk.listType = loadLe32(header + 8);
  return true;
}

// Where the chunk after `chunk` begins.
uint64_t chunkEnd(const Chunk& chunk) { return chunk.dataOffset + chunk.dataSize + (chunk.dataSize & 1); }

// Walks the chunks of the range [begin, end), calling visit(chunk) for each.
// A chunk whose size runs past the range is clipped to it; walking stops there.
template <typename Visit>
void walkChunks(ByteInput& input, uint64_t begin, uint64_t end, Visit visit) {
  Chunk chunk;
  for (uint64_t offset = begin; readChunk(input, offset, end, chunk); offset = chunkEnd(chunk))
    if (!visit(chunk)) return;
}

std::vector<uint8_t> readBytes(ByteInput& input, uint64_t offset, uint64_t size) {
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  bytes.resize(input.readAt(offset, bytes.data(), bytes.size()));
  return bytes;
}

// The two-digit stream number that begins the chunk ids of stream `n`.
bool chunkOfStream(uint32_t id, int n) {
  const char c0 = static_cast<char>(id & 0xFF), c1 = static_cast<char>((id >> 8) & 0xFF);
  const char t0 = static_cast<char>((id >> 16) & 0xFF), t1 = static_cast<char>(id >> 24);
  if (c0 != '0' + n / 10 || c1 != '0' + n % 10) return false;
  return t0 == 'd' && (t1 == 'c' || t1 == 'b');
}

struct Layout {
  std::vector<std::pair<uint64_t, uint64_t>> movies;  // data ranges of the movi lists
  uint64_t firstMovieFourCc = 0;                      // where the first 'movi' type stands
  uint64_t oldIndexOffset = 0, oldIndexSize = 0;
  uint64_t superIndexOffset = 0, superIndexSize = 0;
};

void parseStreamList(ByteInput& input, const Chunk& list, int streamNumber, AviStreamIndex& index, Layout& layout) {
  bool video = false;
  walkChunks(input, list.dataOffset + 4, list.dataOffset + list.dataSize, [&](const Chunk& c) {
    if (c.id == kStreamHeader) {
      const std::vector<uint8_t> h = readBytes(input, c.dataOffset, std::min<uint64_t>(c.dataSize, 8));
      video = h.size() == 8 && loadLe32(h.data()) == kVideoType;
      if (video) {
        index.streamNumber = streamNumber;
        index.handler = loadLe32(h.data() + 4);
      }
    } else if (video && c.id == kStreamFormat) {
      index.format = readBytes(input, c.dataOffset, std::min<uint64_t>(c.dataSize, kMaxFormatBytes));
    } else if (video && c.id == kOpenDmlIndex) {
      layout.superIndexOffset = c.dataOffset;
      layout.superIndexSize = c.dataSize;
    }
    return true;
  });
}

// The fewest bytes a frame takes in any index: an OpenDML standard index
// entry. A frame index longer than the file over this is made of repeated or
// overlapping indexes, and is cut there.
constexpr uint64_t kSmallestIndexEntry = 8;

// Appends the frames of the standard index whose data (after the chunk header)
// lies at [offset, offset + size); entries give each frame's place relative to
// a base offset.
void readStandardIndex(ByteInput& input, uint64_t offset, uint64_t size, AviStreamIndex& index) {
  if (size < kIndexHeaderSize) return;
  uint8_t header[kIndexHeaderSize];
  if (input.readAt(offset, header, sizeof header) != sizeof header) return;
  const uint16_t longsPerEntry = loadLe16(header);
  if (header[3] != kIndexOfChunks || longsPerEntry < 2) return;
  const uint64_t entryBytes = uint64_t{longsPerEntry} * 4;
  const uint64_t fileSize = input.size();
  const uint64_t room = fileSize / kSmallestIndexEntry - std::min<uint64_t>(index.frames.size(), fileSize / kSmallestIndexEntry);
  const uint64_t entries = std::min({uint64_t{loadLe32(header + 4)}, (size - kIndexHeaderSize) / entryBytes, room});
  const std::vector<uint8_t> table = readBytes(input, offset + kIndexHeaderSize, entries * entryBytes);
  const uint64_t base = loadLe32(header + 12) | (uint64_t{loadLe32(header + 16)} << 32);
  for (size_t e = 0; e + 8 <= table.size(); e += entryBytes) {
    const uint32_t sizeField = loadLe32(&table[e + 4]);
    AviFrameEntry frame;
    frame.offset = base + loadLe32(&table[e]);
    frame.size = sizeField & ~kNotKeyFrameBit;
    frame.key = (sizeField & kNotKeyFrameBit) == 0;
    if (frame.offset > fileSize) frame.size = 0;
    index.frames.push_back(frame);
  }
}

// Reads the stream's OpenDML index: an index of indexes leading to standard
// indexes, or (in some files) one standard index in its place. A standard
// index named more than once is read once.
void readOpenDmlIndex(ByteInput& input, uint64_t offset, uint64_t size, AviStreamIndex& index) {
  if (size < kIndexHeaderSize) return;
  uint8_t header[kIndexHeaderSize];
  if (input.readAt(offset, header, sizeof header) != sizeof header) return;
  const uint16_t longsPerEntry = loadLe16(header);
  if (header[3] == kIndexOfChunks) return readStandardIndex(input, offset, size, index);
  if (header[3] != kIndexOfIndexes || longsPerEntry < 4) return;
  const uint64_t entryBytes = uint64_t{longsPerEntry} * 4;
  const uint64_t entries = std::min<uint64_t>(loadLe32(header + 4), (size - kIndexHeaderSize) / entryBytes);
  const std::vector<uint8_t> table = readBytes(input, offset + kIndexHeaderSize, entries * entryBytes);
  const uint64_t fileSize = input.size();
  std::set<uint64_t> seen;
  for (size_t e = 0; e + 16 <= table.size(); e += entryBytes) {
    const uint64_t at = loadLe32(&table[e]) | (uint64_t{loadLe32(&table[e + 4])} << 32);
    if (at >= fileSize || !seen.insert(at).second) continue;
    uint8_t chunk[kRiffChunkHeaderSize];
    if (input.readAt(at, chunk, sizeof chunk) != sizeof chunk) continue;
    readStandardIndex(input, at + kRiffChunkHeaderSize,
                      std::min<uint64_t>(loadLe32(chunk + 4), fileSize - at - kRiffChunkHeaderSize), index);
  }
}

void readOldIndex(ByteInput& input, const Layout& layout, AviStreamIndex& index) {
  const std::vector<uint8_t> table = readBytes(input, layout.oldIndexOffset, layout.oldIndexSize);
  // Offsets count from the 'movi' type field in most files, from the start of
  // the file in some: the first entry of the stream tells which.
  uint64_t base = layout.firstMovieFourCc;
  bool baseChecked = false;
  bool anyKey = false;
  for (size_t e = 0; e + kOldIndexEntrySize <= table.size(); e += kOldIndexEntrySize) {
    const uint32_t id = loadLe32(&table[e]);
    if (!chunkOfStream(id, index.streamNumber)) continue;
    const uint32_t flags = loadLe32(&table[e + 4]);
    const uint64_t at = loadLe32(&table[e + 8]);
    if (!baseChecked) {
      baseChecked = true;
      uint8_t probe[4];
      const bool relative = input.readAt(base + at, probe, 4) == 4 && loadLe32(probe) == id;
      if (!relative && input.readAt(at, probe, 4) == 4 && loadLe32(probe) == id) base = 0;
    }
    AviFrameEntry frame;
    frame.offset = base + at + kRiffChunkHeaderSize;
    frame.size = loadLe32(&table[e + 12]);
    frame.key = (flags & kOldIndexKeyFrame) != 0;
    anyKey = anyKey || frame.key;
    index.frames.push_back(frame);
  }
  index.keyFlagsKnown = anyKey;
}

// Collects the stream's chunks in the 'movi' lists, entering 'rec ' lists.
// Those may nest as deep as a file makes them, so the lists being walked are
// kept on a heap stack rather than the call stack.
void scanMovies(ByteInput& input, const Layout& layout, AviStreamIndex& index) {
  index.keyFlagsKnown = false;
  struct Range {
    uint64_t next, end;
  };
  std::vector<Range> open;
  for (const auto& [begin, end] : layout.movies) {
    open.push_back({begin, end});
    while (!open.empty()) {
      Range& range = open.back();
      Chunk c;
      if (!readChunk(input, range.next, range.end, c)) {
        open.pop_back();
        continue;
      }
      range.next = chunkEnd(c);
      if (c.id == kListId && c.listType == kRecordList) {
        open.push_back({c.dataOffset + 4, c.dataOffset + c.dataSize});
      } else if (chunkOfStream(c.id, index.streamNumber)) {
        index.frames.push_back({c.dataOffset, static_cast<uint32_t>(c.dataSize), false});
      }
    }
  }
}

}  // namespace

bool parseAvi(ByteInput& input, AviStreamIndex& index, std::string* why) {
  index = AviStreamIndex();
  uint8_t head[kRiffListHeaderSize];
  if (input.readAt(0, head, sizeof head) != sizeof head || loadLe32(head) != kRiffId || loadLe32(head + 8) != kAviForm)
    return refuse(why, "not an AVI file");

  Layout layout;
  int streams = 0;
  walkChunks(input, 0, input.size(), [&](const Chunk& riff) {
    if (riff.id != kRiffId || (riff.listType != kAviForm && riff.listType != kAviExtensionForm)) return false;
    const bool first = riff.listType == kAviForm;
    walkChunks(input, riff.dataOffset + 4, riff.dataOffset + riff.dataSize, [&](const Chunk& c) {
      if (c.id == kListId && c.listType == kMovieList) {
        if (layout.movies.empty()) layout.firstMovieFourCc = c.dataOffset;
        layout.movies.emplace_back(c.dataOffset + 4, c.dataOffset + c.dataSize);
      } else if (first && c.id == kListId && c.listType == kHeaderList) {
        walkChunks(input, c.dataOffset + 4, c.dataOffset + c.dataSize, [&](const Chunk& s) {
          if (s.id == kListId && s.listType == kStreamList) {
            if (index.streamNumber < 0) parseStreamList(input, s, streams, index, layout);
            ++streams;
          }
          return true;
        });
      } else if (first && c.id == kOldIndex) {
        layout.oldIndexOffset = c.dataOffset;
        layout.oldIndexSize = c.dataSize;
      }
      return true;
    });
    return true;
  });

  if (index.streamNumber < 0) return refuse(why, "no video stream");
  if (index.format.size() < 40) return refuse(why, "video stream has no bitmap format");
  if (layout.superIndexSize > 0) readOpenDmlIndex(input, layout.superIndexOffset, layout.superIndexSize, index);
  if (index.frames.empty() && layout.oldIndexSize > 0) readOldIndex(input, layout, index);
  if (index.frames.empty()) scanMovies(input, layout, index);
  if (index.frames.empty()) return refuse(why, "video stream has no frames");
  return true;
}

}  // namespace stelp
