#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace stelp {

// One frame as a device-independent bitmap: rows of 8, 24 or 32 bits, each
// `rowBytes` long, with a 256-entry palette for 8-bit rows.
struct DibFrame {
  int32_t width = 0;
  int32_t height = 0;
  int bitCount = 0;
  bool topDown = false;  // true: the first row is the top of the picture
  size_t rowBytes = 0;
  std::vector<uint8_t> storage;
  size_t rowsOffset = 0;  // where the first row starts in `storage`
  std::vector<uint8_t> palette;  // 1024 bytes for 8-bit frames

  const uint8_t* rows() const { return storage.data() + rowsOffset; }
};

// The fields of the stream's BITMAPINFOHEADER that decoding needs.
struct VideoFormat {
  int32_t width = 0;
  int32_t height = 0;  // negative: rows stored top-down
  int bitCount = 0;
  uint32_t compression = 0;
  std::vector<uint8_t> palette;  // 1024 bytes: the stream's colour table, black past its end
  std::vector<uint8_t> extra;    // bytes after the first 40 (codec set-up data, bit field masks)
};

// Reads the stream format; false when it is too short or its size is absurd.
bool parseVideoFormat(const std::vector<uint8_t>& format, VideoFormat& video, std::string* why);

// Whether frames are plain 8-, 24- or 32-bit DIB rows that need no codec.
bool isUncompressedDib(const VideoFormat& video);

// Wraps the bytes of an uncompressed frame as a DibFrame.
void uncompressedFrame(const VideoFormat& video, std::vector<uint8_t> bytes, DibFrame& frame);

// Whether frames are plain 8-bit grey rows under a grey code ('Y800', 'Y8  ',
// 'GREY'), as ffmpeg writes raw grey video. Such frames are read without a
// codec, laid out as libavcodec's raw decoder lays them out (see greyFrame).
bool isRawGrey(const VideoFormat& video);

// Wraps a raw grey frame of `bytes` as an 8-bit DibFrame with a grey palette:
// rows top-down (bottom-up when the codec data end in "BottomUp"), each
// `width` bytes long, or padded to a multiple of 4 when the frame holds that
// much. False, with the reason, for a frame shorter than width x height.
bool greyFrame(const VideoFormat& video, std::vector<uint8_t> bytes, DibFrame& frame, std::string* why);
// The same check on a frame of `size` bytes, without the bytes.
bool greyFrameFits(const VideoFormat& video, uint64_t size, std::string* why);

// A decoder for one compressed stream, through libavcodec. Output is 24-bit,
// or 8-bit with a grey palette when the codec delivers grey only.
class VideoDecoder {
 public:
  static std::unique_ptr<VideoDecoder> create(const VideoFormat& video, uint32_t handler, std::string* why);
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  // Whether every frame of this codec decodes on its own.
  bool intraOnly() const;
  // Forgets the frames sent so far, before decoding from another key frame.
  void reset();
  // Sends one packet and takes the picture it yields, if any, into `frame`.
  // False on a decoding error.
  bool decode(const uint8_t* data, size_t size, bool& gotPicture, DibFrame& frame, std::string* why);
  // Ends the stream and takes the last picture still held back, if any.
  bool drain(bool& gotPicture, DibFrame& frame, std::string* why);

 private:
  struct State;
  explicit VideoDecoder(std::unique_ptr<State> state);
  bool receive(bool& gotPicture, DibFrame& frame, std::string* why);
  std::unique_ptr<State> state_;
};

}  // namespace stelp
