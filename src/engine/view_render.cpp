#include "engine/view_render.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "image/numeric.h"

namespace stelp {
namespace {

// Frame pixels per view pixel at Fit, as PaintImage works it out.
float fitScale(int32_t frameWidth, int32_t frameHeight, int32_t width, int32_t height) {
  const float scaleH = static_cast<float>(frameHeight) / static_cast<float>(height);
  const float scaleW = static_cast<float>(frameWidth) / static_cast<float>(width);
  const float s = scaleH > scaleW ? scaleH : scaleW;
  return s < 1 ? 1 : s;
}

// The frame index under each of `count` view pixels at a fixed scale, -1
// off the frame. An arithmetic shift rounds the eighths down on both sides
// of the frame's edge.
void fixedSamples(int64_t centre, int64_t step, int32_t count, int32_t frameSize, std::vector<int32_t>& out) {
  out.resize(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const int64_t index = (centre + static_cast<int64_t>(i - (count >> 1)) * step) >> 3;
    out[static_cast<size_t>(i)] = index >= 0 && index < frameSize ? static_cast<int32_t>(index) : -1;
  }
}

int64_t clampCentre(int64_t centre, int32_t frameSize) {
  return std::clamp<int64_t>(centre, 0, static_cast<int64_t>(frameSize) * kSubPixels);
}

// A channel's value at one pixel on the engine's 0..255 scale.
float channelValue(const ImageBuffer& image, const uint8_t* p, int channel) {
  switch (image.format) {
    case PixelFormat::Gray8: return p[0];
    case PixelFormat::Gray16: {
      uint16_t v;
      std::memcpy(&v, p, sizeof v);
      return static_cast<float>(v / 257.0);
    }
    case PixelFormat::Gray32: {
      uint32_t v;
      std::memcpy(&v, p, sizeof v);
      return static_cast<float>(v / 16843009.0);
    }
    case PixelFormat::GrayFloat: {
      float v;
      std::memcpy(&v, p, sizeof v);
      return v;
    }
    case PixelFormat::Bgr24: return p[channel];
    case PixelFormat::BgrFloat: {
      float v;
      std::memcpy(&v, p + sizeof v * static_cast<size_t>(channel), sizeof v);
      return v;
    }
    case PixelFormat::None: break;
  }
  return 0;
}

// The midtone transfer function: 0, `balance` and 1 go to 0, 1/2 and 1.
double midtoneTransfer(double balance, double x) {
  if (x <= 0) return 0;
  if (x >= 1) return 1;
  return (balance - 1) * x / ((2 * balance - 1) * x - balance);
}

}  // namespace

std::array<float, 3> PixelValueAt(const ImageBuffer& image, int32_t x, int32_t y) {
  std::array<float, 3> value{};
  const uint8_t* p = image.row(y) + static_cast<size_t>(x) * image.bytesPerPixel;
  const int channels = isColourFormat(image.format) ? 3 : 1;
  for (int c = 0; c < channels; ++c) value[static_cast<size_t>(c)] = channelValue(image, p, c);
  return value;
}

void PaintView(const ImageBuffer& image, int32_t width, int32_t height, const ViewPlace& place,
               uint8_t background, Bitmap24& bitmap) {
  if (place.fit) {
    PaintImage(image, width, height, Reduce::Allowed, Enlarge::NotAllowed, background, bitmap);
    return;
  }
  FillBackground(width, height, background, bitmap);
  if (bitmap.bytes.empty() || !image.pixels || image.width <= 0 || image.height <= 0) return;
  const int64_t step = SubStepOf(place.level);
  std::vector<int32_t> columns, rows;
  fixedSamples(place.centreX, step, width, image.width, columns);
  fixedSamples(place.centreY, step, height, image.height, rows);
  // The visible columns are one run: find it once.
  const auto first = std::find_if(columns.begin(), columns.end(), [](int32_t c) { return c >= 0; });
  if (first == columns.end()) return;
  const auto last = std::find_if(first, columns.end(), [](int32_t c) { return c < 0; });
  const int32_t x0 = static_cast<int32_t>(first - columns.begin());
  const int32_t x1 = static_cast<int32_t>(last - columns.begin());
  for (int32_t y = 0; y < height; ++y) {
    const int32_t sy = rows[static_cast<size_t>(y)];
    if (sy < 0) continue;
    const uint8_t* source = image.row(sy);
    uint8_t* out = bitmap.bytes.data() + bitmap.rowBytes * static_cast<size_t>(y);
    for (int32_t x = x0; x < x1; ++x)
      DisplayBytes(image, source + static_cast<size_t>(columns[static_cast<size_t>(x)]) * image.bytesPerPixel,
                   out + 3 * static_cast<size_t>(x));
  }
}

bool FramePixelAt(int32_t frameWidth, int32_t frameHeight, int32_t width, int32_t height, const ViewPlace& place,
                  int32_t x, int32_t y, int32_t& frameX, int32_t& frameY) {
  if (frameWidth <= 0 || frameHeight <= 0 || width <= 0 || height <= 0) return false;
  if (x < 0 || y < 0 || x >= width || y >= height) return false;
  if (place.fit) {
    const float s = fitScale(frameWidth, frameHeight, width, height);
    frameX = truncSaturate<int32_t>(static_cast<float>(x - (width >> 1)) * s + static_cast<float>(frameWidth >> 1));
    frameY = truncSaturate<int32_t>(static_cast<float>(y - (height >> 1)) * s + static_cast<float>(frameHeight >> 1));
  } else {
    const int64_t step = SubStepOf(place.level);
    const int64_t fx = (place.centreX + static_cast<int64_t>(x - (width >> 1)) * step) >> 3;
    const int64_t fy = (place.centreY + static_cast<int64_t>(y - (height >> 1)) * step) >> 3;
    if (fx < 0 || fy < 0 || fx >= frameWidth || fy >= frameHeight) return false;
    frameX = static_cast<int32_t>(fx);
    frameY = static_cast<int32_t>(fy);
  }
  return frameX >= 0 && frameY >= 0 && frameX < frameWidth && frameY < frameHeight;
}

ViewPlace ZoomAbout(const ViewPlace& place, int32_t steps, int32_t frameWidth, int32_t frameHeight, int32_t width,
                    int32_t height, int32_t x, int32_t y) {
  if (steps == 0 || frameWidth <= 0 || frameHeight <= 0 || width <= 0 || height <= 0) return place;
  const int64_t dx = x - (width >> 1), dy = y - (height >> 1);
  int32_t level;
  int64_t pointX, pointY;  // the frame point under (x, y), in eighths
  if (place.fit) {
    const float s = fitScale(frameWidth, frameHeight, width, height);
    const double fitStep = static_cast<double>(s) * kSubPixels;
    pointX = static_cast<int64_t>(std::floor((static_cast<float>(dx) * s + static_cast<float>(frameWidth >> 1)) *
                                             static_cast<double>(kSubPixels)));
    pointY = static_cast<int64_t>(std::floor((static_cast<float>(dy) * s + static_cast<float>(frameHeight >> 1)) *
                                             static_cast<double>(kSubPixels)));
    // The first fixed scale beyond Fit's in the direction asked.
    if (steps > 0) {
      level = kMinZoomLevel;
      while (level < kMaxZoomLevel && static_cast<double>(SubStepOf(level)) >= fitStep) ++level;
      level += steps - 1;
    } else {
      level = kMaxZoomLevel;
      while (level > kMinZoomLevel && static_cast<double>(SubStepOf(level)) <= fitStep) --level;
      level += steps + 1;
    }
  } else {
    pointX = place.centreX + dx * SubStepOf(place.level);
    pointY = place.centreY + dy * SubStepOf(place.level);
    level = place.level + steps;
  }
  ViewPlace zoomed;
  zoomed.fit = false;
  zoomed.level = std::clamp(level, kMinZoomLevel, kMaxZoomLevel);
  zoomed.centreX = clampCentre(pointX - dx * SubStepOf(zoomed.level), frameWidth);
  zoomed.centreY = clampCentre(pointY - dy * SubStepOf(zoomed.level), frameHeight);
  return zoomed;
}

ViewPlace PanBy(const ViewPlace& place, int32_t dx, int32_t dy, int32_t frameWidth, int32_t frameHeight) {
  if (place.fit) return place;
  ViewPlace moved = place;
  moved.centreX = clampCentre(place.centreX - static_cast<int64_t>(dx) * SubStepOf(place.level), frameWidth);
  moved.centreY = clampCentre(place.centreY - static_cast<int64_t>(dy) * SubStepOf(place.level), frameHeight);
  return moved;
}

ViewPlace CentredAt(int32_t level, int32_t frameWidth, int32_t frameHeight) {
  ViewPlace place;
  place.fit = false;
  place.level = std::clamp(level, kMinZoomLevel, kMaxZoomLevel);
  place.centreX = static_cast<int64_t>(std::max(frameWidth, 0) >> 1) * kSubPixels;
  place.centreY = static_cast<int64_t>(std::max(frameHeight, 0) >> 1) * kSubPixels;
  return place;
}

std::string ZoomText(const ViewPlace& place) {
  if (place.fit) return "Fit";
  if (place.level >= 0) return std::to_string(1 << place.level) + ":1";
  return "1:" + std::to_string(1 << -place.level);
}

float MidtoneStretch::apply(float value) const {
  if (value <= shadows) return 0;
  const double x = (static_cast<double>(value) - shadows) / (1.0 - shadows);
  return static_cast<float>(midtoneTransfer(midtone, x));
}

MidtoneStretch StretchOf(const ImageBuffer& image, int channel) {
  MidtoneStretch stretch;
  const size_t pixels = static_cast<size_t>(std::max(image.width, 0)) * static_cast<size_t>(std::max(image.height, 0));
  if (!image.pixels || pixels == 0) return stretch;
  // A million evenly spread samples give the median and spread of any
  // frame closely enough for a display; the same frame always gives the same.
  constexpr size_t kSamples = size_t{1} << 20;
  const size_t stride = (pixels + kSamples - 1) / kSamples;
  std::vector<float> values;
  values.reserve(pixels / stride + 1);
  for (size_t i = 0; i < pixels; i += stride) {
    const int32_t x = static_cast<int32_t>(i % static_cast<size_t>(image.width));
    const int32_t y = static_cast<int32_t>(i / static_cast<size_t>(image.width));
    const float v = channelValue(image, image.row(y) + static_cast<size_t>(x) * image.bytesPerPixel, channel) / 255.0f;
    values.push_back(std::clamp(std::isnan(v) ? 0.0f : v, 0.0f, 1.0f));
  }
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  const float median = *middle;
  for (float& v : values) v = std::fabs(v - median);
  std::nth_element(values.begin(), middle, values.end());
  // The deviation of a normal distribution that has this median deviation.
  const double spread = 1.4826 * static_cast<double>(*middle);
  const double shadows = std::clamp(static_cast<double>(median) - 2.8 * spread, 0.0, static_cast<double>(median));
  if (shadows >= 1) return stretch;
  stretch.shadows = static_cast<float>(shadows);
  const double x = (median - shadows) / (1.0 - shadows);
  // The balance that takes x to a quarter: the transfer with balance 1/4 at x.
  stretch.midtone = x > 0 ? static_cast<float>(midtoneTransfer(0.25, x)) : 0.5f;
  return stretch;
}

bool MakeDisplayPicture(const ImageBuffer& image, DisplayStretch stretch, ImageBuffer& picture) {
  picture = ImageBuffer();
  if (!image.pixels || image.width <= 0 || image.height <= 0) return false;
  const bool colour = isColourFormat(image.format);
  picture.setFormat(colour ? PixelFormat::Bgr24 : PixelFormat::Gray8);
  picture.width = image.width;
  picture.height = image.height;
  if (!picture.allocate()) return false;
  const int channels = colour ? 3 : 1;
  std::array<MidtoneStretch, 3> stretches;
  if (stretch == DisplayStretch::On)
    for (int c = 0; c < channels; ++c) stretches[static_cast<size_t>(c)] = StretchOf(image, c);
  for (int32_t y = 0; y < image.height; ++y) {
    const uint8_t* in = image.row(y);
    uint8_t* out = picture.row(y);
    for (int32_t x = 0; x < image.width; ++x, in += image.bytesPerPixel, out += channels) {
      if (stretch == DisplayStretch::Off) {
        uint8_t bgr[3];
        DisplayBytes(image, in, bgr);
        std::memcpy(out, bgr, static_cast<size_t>(channels));
        continue;
      }
      for (int c = 0; c < channels; ++c) {
        const float v = channelValue(image, in, c) / 255.0f;
        const float shown = stretches[static_cast<size_t>(c)].apply(std::isnan(v) ? 0.0f : std::min(v, 1.0f));
        out[c] = static_cast<uint8_t>(truncSaturate<int32_t>(std::min(shown * 255.0f, 255.0f)));
      }
    }
  }
  return true;
}

std::array<uint32_t, 256> HistogramOf(const ImageBuffer& picture) {
  std::array<uint32_t, 256> counts{};
  if (!picture.pixels) return counts;
  for (int32_t y = 0; y < picture.height; ++y) {
    const uint8_t* p = picture.row(y);
    for (int32_t x = 0; x < picture.width; ++x, p += picture.bytesPerPixel) {
      if (picture.format == PixelFormat::Bgr24)
        ++counts[static_cast<size_t>((p[0] + 2 * p[1] + p[2]) >> 2)];
      else
        ++counts[p[0]];
    }
  }
  return counts;
}

}  // namespace stelp
