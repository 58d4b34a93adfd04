#include "avi_decode.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "avi_container.h"
#include "bitmap.h"
#include "numeric.h"

namespace stelp {
namespace {

constexpr size_t kInfoHeaderSize = 40;
constexpr uint32_t kCompressionRgb = 0;
constexpr uint32_t kCompressionBitFields = 3;
constexpr size_t kRowAlignment = 32;  // libswscale works fastest on aligned rows
// Frames beyond these sizes are refused before any decoder allocates for them:
// far past any camera, and within what a frame buffer can hold.
constexpr int32_t kMaxSide = 1 << 16;
constexpr int64_t kMaxPixels = int64_t{1} << 27;
// Rows and columns a decoder may add around the declared size for its own
// alignment and edges (MPEG-4 needs more than 128): ample, and still no room
// for a picture much larger than declared.
constexpr int kDecoderPadding = 1024;

std::string fourCcText(uint32_t code) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((code >> (8 * i)) & 0xFF);
    text += (c >= 32 && c < 127) ? c : '?';
  }
  return text;
}

// FFmpeg's libraries are opened on the first compressed stream rather than
// linked: they bring in over a hundred shared libraries, whose loading would
// cost every run tens of milliseconds even when no video is decoded.
#define STELP_FFMPEG_FUNCTIONS(F) \
  F(util, av_log_set_level) \
  F(util, av_strerror) \
  F(util, av_mallocz) \
  F(util, av_frame_alloc) \
  F(util, av_frame_unref) \
  F(util, av_frame_free) \
  F(util, av_pix_fmt_desc_get) \
  F(format, avformat_get_riff_video_tags) \
  F(format, av_codec_get_id) \
  F(codec, avcodec_find_decoder) \
  F(codec, avcodec_alloc_context3) \
  F(codec, avcodec_open2) \
  F(codec, avcodec_descriptor_get) \
  F(codec, avcodec_flush_buffers) \
  F(codec, avcodec_send_packet) \
  F(codec, avcodec_receive_frame) \
  F(codec, avcodec_free_context) \
  F(codec, av_packet_alloc) \
  F(codec, av_new_packet) \
  F(codec, av_packet_unref) \
  F(codec, av_packet_free) \
  F(scale, sws_getCachedContext) \
  F(scale, sws_scale) \
  F(scale, sws_freeContext)

struct Ffmpeg {
#define STELP_FFMPEG_POINTER(library, name) decltype(&::name) name = nullptr;
  STELP_FFMPEG_FUNCTIONS(STELP_FFMPEG_POINTER)
#undef STELP_FFMPEG_POINTER
};

std::string soname(const char* library, int major) { return std::string("lib") + library + ".so." + std::to_string(major); }

// The libraries of the major versions the headers describe, opened once for
// the whole process and never closed; null, with the reason, when they are
// missing.
const Ffmpeg* ffmpeg(std::string* why) {
  static std::string failure;
  static const Ffmpeg* const loaded = []() -> const Ffmpeg* {
    void* util = nullptr;
    void* format = nullptr;
    void* codec = nullptr;
    void* scale = nullptr;
    const std::pair<void**, std::string> libraries[] = {
        {&util, soname("avutil", LIBAVUTIL_VERSION_MAJOR)},
        {&codec, soname("avcodec", LIBAVCODEC_VERSION_MAJOR)},
        {&format, soname("avformat", LIBAVFORMAT_VERSION_MAJOR)},
        {&scale, soname("swscale", LIBSWSCALE_VERSION_MAJOR)}};
    for (const auto& [handle, name] : libraries) {
      *handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!*handle) {
        const char* error = dlerror();
        failure = "compressed video needs FFmpeg's " + name + (error ? std::string(": ") + error : std::string());
        return nullptr;
      }
    }
    static Ffmpeg api;
#define STELP_FFMPEG_LOAD(library, name) \
  api.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)); \
  if (!api.name) { \
    failure = "FFmpeg's libraries lack " #name; \
    return nullptr; \
  }
    STELP_FFMPEG_FUNCTIONS(STELP_FFMPEG_LOAD)
#undef STELP_FFMPEG_LOAD
    // The readers report through their results, never on the terminal.
    api.av_log_set_level(AV_LOG_QUIET);
    return &api;
  }();
  if (!loaded) refuse(why, failure);
  return loaded;
}

std::string averror(const Ffmpeg& av, int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av.av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

bool parseVideoFormat(const std::vector<uint8_t>& format, VideoFormat& video, std::string* why) {
  if (format.size() < kInfoHeaderSize) return refuse(why, "video format is cut short");
  const uint8_t* h = format.data();
  const uint32_t headerSize = std::clamp<uint32_t>(loadLe32(h), kInfoHeaderSize, static_cast<uint32_t>(format.size()));
  video.width = static_cast<int32_t>(loadLe32(h + 4));
  video.height = static_cast<int32_t>(loadLe32(h + 8));
  video.bitCount = loadLe16(h + 14);
  video.compression = loadLe32(h + 16);
  const int64_t rows = video.height < 0 ? -int64_t{video.height} : video.height;
  if (video.width <= 0 || video.width > kMaxSide || rows == 0 || rows > kMaxSide ||
      int64_t{video.width} * rows > kMaxPixels)
    return refuse(why, "video frame size " + std::to_string(video.width) + " x " + std::to_string(video.height) +
                           " is not supported");
  const uint32_t colours = loadLe32(h + 32);
  const size_t entries = std::min<size_t>(colours != 0 ? colours : (video.bitCount == 8 ? 256 : 0), 256);
  video.palette.assign(kBitmapPaletteBytes, 0);
  const size_t available = std::min(entries * 4, format.size() - headerSize);
  std::copy_n(format.begin() + headerSize, available, video.palette.begin());
  // As in ffmpeg's AVI demuxer, everything after the first 40 bytes is the
  // codec's set-up data, also what a larger header size claims for itself:
  // HuffYUV, for one, keeps its tables there.
  video.extra.assign(format.begin() + kInfoHeaderSize, format.end());
  return true;
}

bool isUncompressedDib(const VideoFormat& video) {
  if (video.compression == kCompressionRgb) return video.bitCount == 8 || video.bitCount == 24 || video.bitCount == 32;
  // 32-bit bit fields with the usual masks are the same bytes.
  if (video.compression != kCompressionBitFields || video.bitCount != 32 || video.extra.size() < 12) return false;
  return loadLe32(video.extra.data()) == 0x00FF0000 && loadLe32(video.extra.data() + 4) == 0x0000FF00 &&
         loadLe32(video.extra.data() + 8) == 0x000000FF;
}

void uncompressedFrame(const VideoFormat& video, std::vector<uint8_t> bytes, DibFrame& frame) {
  frame.width = video.width;
  frame.height = video.height < 0 ? -video.height : video.height;
  frame.bitCount = video.bitCount;
  frame.topDown = video.height < 0;
  frame.rowBytes = static_cast<size_t>(dibRowBytes(video.bitCount, video.width));
  frame.storage = std::move(bytes);
  frame.rowsOffset = 0;
  frame.palette = video.palette;
}

namespace {

// The codes under which libavcodec reads raw frames as 8-bit grey.
constexpr uint32_t kGreyCodes[] = {fourCc("Y800"), fourCc("Y8  "), fourCc("GREY")};
// Codec data ending in this marker (with its terminating zero) turn raw rows
// bottom-up, as the AVI demuxer tells the raw decoder.
constexpr char kBottomUp[] = "BottomUp";
// Raw grey rows are padded to this when the frame holds padded rows.
constexpr uint64_t kGreyRowAlignment = 4;

uint64_t greyRows(const VideoFormat& video) { return video.height < 0 ? -int64_t{video.height} : video.height; }

bool bottomUpMarked(const std::vector<uint8_t>& extra) {
  return extra.size() >= sizeof kBottomUp &&
         std::equal(kBottomUp, kBottomUp + sizeof kBottomUp, extra.end() - sizeof kBottomUp);
}

}  // namespace

bool isRawGrey(const VideoFormat& video) {
  return std::find(std::begin(kGreyCodes), std::end(kGreyCodes), video.compression) != std::end(kGreyCodes);
}

bool greyFrameFits(const VideoFormat& video, uint64_t size, std::string* why) {
  const uint64_t needed = static_cast<uint64_t>(video.width) * greyRows(video);
  if (size < needed)
    return refuse(why, "grey frame of " + std::to_string(needed) + " bytes is stored in " + std::to_string(size));
  return true;
}

bool greyFrame(const VideoFormat& video, std::vector<uint8_t> bytes, DibFrame& frame, std::string* why) {
  if (!greyFrameFits(video, bytes.size(), why)) return false;
  const uint64_t rows = greyRows(video);
  const uint64_t padded = (static_cast<uint64_t>(video.width) + kGreyRowAlignment - 1) & ~(kGreyRowAlignment - 1);
  frame.width = video.width;
  frame.height = static_cast<int32_t>(rows);
  frame.bitCount = 8;
  frame.topDown = !bottomUpMarked(video.extra);
  frame.rowBytes = static_cast<size_t>(padded * rows <= bytes.size() ? padded : static_cast<uint64_t>(video.width));
  frame.storage = std::move(bytes);
  frame.rowsOffset = 0;
  frame.palette = greyPalette();
  return true;
}

struct VideoDecoder::State {
  const Ffmpeg* av = nullptr;
  AVCodecContext* context = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* picture = nullptr;
  SwsContext* scaler = nullptr;
  bool intraOnly = false;
  int width = 0, height = 0;  // the declared size; the decoder's own fields follow the packets

  explicit State(const Ffmpeg* api) : av(api) {}
  ~State() {
    av->sws_freeContext(scaler);
    av->av_frame_free(&picture);
    av->av_packet_free(&packet);
    av->avcodec_free_context(&context);
  }
};

VideoDecoder::VideoDecoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
VideoDecoder::~VideoDecoder() = default;

std::unique_ptr<VideoDecoder> VideoDecoder::create(const VideoFormat& video, uint32_t handler, std::string* why) {
  const Ffmpeg* const api = ffmpeg(why);
  if (!api) return nullptr;
  const Ffmpeg& av = *api;
  // Plain RGB of other depths is raw video; otherwise the compression code
  // (or, failing that, the stream's handler) names the codec.
  const AVCodecTag* const tags[] = {av.avformat_get_riff_video_tags(), nullptr};
  AVCodecID id = AV_CODEC_ID_NONE;
  if (video.compression == kCompressionRgb || video.compression == kCompressionBitFields)
    id = AV_CODEC_ID_RAWVIDEO;
  else
    id = av.av_codec_get_id(tags, video.compression);
  if (id == AV_CODEC_ID_NONE) id = av.av_codec_get_id(tags, handler);
  const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : av.avcodec_find_decoder(id);
  if (!codec) {
    refuse(why, "video codec '" + fourCcText(video.compression) + "' is not supported");
    return nullptr;
  }

  auto state = std::make_unique<State>(api);
  state->context = av.avcodec_alloc_context3(codec);
  state->packet = av.av_packet_alloc();
  state->picture = av.av_frame_alloc();
  if (!state->context || !state->packet || !state->picture) {
    refuse(why, "not enough memory for the video decoder");
    return nullptr;
  }
  AVCodecContext* c = state->context;
  c->width = video.width;
  c->height = video.height < 0 ? -video.height : video.height;
  state->width = c->width;
  state->height = c->height;
  c->codec_tag = video.compression;
  c->bits_per_coded_sample = video.bitCount;
  c->thread_count = 1;
  // The decoder allocates for the size the packets give, which may differ from
  // the declared one: it refuses to go much past the declared size, so a 4 x 4
  // stream cannot make it allocate for a huge picture.
  c->max_pixels = (static_cast<int64_t>(c->width) + kDecoderPadding) * (c->height + kDecoderPadding);
  std::vector<uint8_t> extra = video.extra;
  // Raw RGB with a positive height is stored bottom-up; the raw decoder
  // learns that from this marker, as the AVI demuxer tells it.
  if (video.compression == kCompressionRgb && video.height > 0) {
    extra.insert(extra.end(), kBottomUp, kBottomUp + sizeof kBottomUp);
  }
  if (!extra.empty()) {
    c->extradata = static_cast<uint8_t*>(av.av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!c->extradata) {
      refuse(why, "not enough memory for the video decoder");
      return nullptr;
    }
    std::memcpy(c->extradata, extra.data(), extra.size());
    c->extradata_size = static_cast<int>(extra.size());
  }
  if (const int result = av.avcodec_open2(c, codec, nullptr); result < 0) {
    refuse(why, "cannot open the " + std::string(codec->name) + " decoder: " + averror(av, result));
    return nullptr;
  }
  const AVCodecDescriptor* descriptor = av.avcodec_descriptor_get(id);
  state->intraOnly = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
  return std::unique_ptr<VideoDecoder>(new VideoDecoder(std::move(state)));
}

bool VideoDecoder::intraOnly() const { return state_->intraOnly; }

void VideoDecoder::reset() { state_->av->avcodec_flush_buffers(state_->context); }

bool VideoDecoder::decode(const uint8_t* data, size_t size, bool& gotPicture, DibFrame& frame, std::string* why) {
  const Ffmpeg& av = *state_->av;
  gotPicture = false;
  if (size == 0) return refuse(why, "video frame has no data");
  if (size > static_cast<size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) return refuse(why, "video frame is too large");
  AVPacket* packet = state_->packet;
  if (av.av_new_packet(packet, static_cast<int>(size)) < 0) return refuse(why, "not enough memory for a video packet");
  std::memcpy(packet->data, data, size);
  packet->flags |= AV_PKT_FLAG_KEY;
  const int sent = av.avcodec_send_packet(state_->context, packet);
  av.av_packet_unref(packet);
  if (sent < 0 && sent != AVERROR(EAGAIN)) return refuse(why, "video frame does not decode: " + averror(av, sent));
  return receive(gotPicture, frame, why);
}

bool VideoDecoder::drain(bool& gotPicture, DibFrame& frame, std::string* why) {
  const Ffmpeg& av = *state_->av;
  gotPicture = false;
  av.avcodec_send_packet(state_->context, nullptr);
  return receive(gotPicture, frame, why);
}

bool VideoDecoder::receive(bool& gotPicture, DibFrame& frame, std::string* why) {
  const Ffmpeg& av = *state_->av;
  AVFrame* picture = state_->picture;
  // Take every picture the decoder has ready; the last one is the newest.
  for (;;) {
    const int result = av.avcodec_receive_frame(state_->context, picture);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
    if (result < 0) return refuse(why, "video frame does not decode: " + averror(av, result));

    // A picture must have the size the stream declares: the size checks were
    // made on that, and a stream changing size mid-way is not a video we read.
    if (picture->width != state_->width || picture->height != state_->height) {
      const std::string size = std::to_string(picture->width) + " x " + std::to_string(picture->height);
      av.av_frame_unref(picture);
      return refuse(why, "decoded picture of " + size + " differs from the declared " +
                           std::to_string(state_->width) + " x " + std::to_string(state_->height));
    }
    const AVPixelFormat source = static_cast<AVPixelFormat>(picture->format);
    const AVPixFmtDescriptor* descriptor = av.av_pix_fmt_desc_get(source);
    // Grey-only pictures stay 8-bit grey; everything else becomes 24-bit.
    const bool grey = descriptor && descriptor->nb_components == 1 && !(descriptor->flags & AV_PIX_FMT_FLAG_PAL);
    const AVPixelFormat target = grey ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_BGR24;
    state_->scaler = av.sws_getCachedContext(state_->scaler, picture->width, picture->height, source, picture->width,
                                          picture->height, target, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!state_->scaler) {
      av.av_frame_unref(picture);
      return refuse(why, "video pixel format cannot be converted");
    }
    frame.width = picture->width;
    frame.height = picture->height;
    frame.bitCount = grey ? 8 : 24;
    frame.topDown = true;
    frame.rowBytes = (static_cast<size_t>(picture->width) * (grey ? 1 : 3) + kRowAlignment - 1) & ~(kRowAlignment - 1);
    frame.storage.resize(frame.rowBytes * static_cast<size_t>(picture->height) + kRowAlignment);
    const uintptr_t address = reinterpret_cast<uintptr_t>(frame.storage.data());
    frame.rowsOffset = (kRowAlignment - address % kRowAlignment) % kRowAlignment;
    uint8_t* planes[4] = {frame.storage.data() + frame.rowsOffset, nullptr, nullptr, nullptr};
    int strides[4] = {static_cast<int>(frame.rowBytes), 0, 0, 0};
    av.sws_scale(state_->scaler, picture->data, picture->linesize, 0, picture->height, planes, strides);
    frame.palette = grey ? greyPalette() : std::vector<uint8_t>();
    av.av_frame_unref(picture);
    gotPicture = true;
  }
}

}  // namespace stelp
