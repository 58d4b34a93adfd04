#include "demo.h"

#include <cmath>
#include <cstdint>
#include <filesystem>

#include "image/avi.h"
#include "image/bitmap.h"
#include "image/fits.h"
#include "image/image_buffer.h"

namespace stelp {
namespace {

constexpr int32_t kWidth = 320;
constexpr int32_t kHeight = 240;
constexpr int kDarks = 4;
constexpr int kFlats = 4;
constexpr int kLightBitmaps = 2;
constexpr int kLightVideoFrames = 4;

// A repeatable pseudo-random sequence: the demo is the same on every machine.
struct Random {
  uint32_t state;
  double uniform() {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) / 16777216.0;
  }
  double noise(double amplitude) { return (uniform() + uniform() - 1.0) * amplitude; }
};

struct Point {
  int32_t x, y;
};

// Pixels of the sensor that read far too bright whatever the light.
constexpr Point kHotPixels[] = {{17, 33}, {250, 12}, {101, 200}, {300, 150}, {64, 120},
                                {180, 77}, {222, 230}, {5, 5},    {160, 121}, {290, 60}};

// The optics: brightness falls off towards the corners, and two dust motes
// on the sensor window cast soft round shadows.
double transmission(int32_t x, int32_t y) {
  const double dx = (x - kWidth / 2.0) / (kWidth / 2.0), dy = (y - kHeight / 2.0) / (kWidth / 2.0);
  double t = 1.0 - 0.38 * (dx * dx + dy * dy);
  const Point dust[] = {{90, 70}, {240, 170}};
  for (const Point& d : dust) {
    const double r = std::hypot(x - d.x, y - d.y);
    if (r < 9) t *= 0.72 + 0.28 * (r / 9) * (r / 9);
  }
  return t;
}

double darkCurrent(int32_t x, int32_t y, Random& random) {
  for (const Point& hot : kHotPixels)
    if (hot.x == x && hot.y == y) return 250;
  return 6 + 0.01 * x + random.noise(2);
}

uint8_t toByte(double v) { return static_cast<uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v)))); }

std::unique_ptr<ImageBuffer> newImage(PixelFormat format) {
  auto image = std::make_unique<ImageBuffer>();
  image->setFormat(format);
  image->width = kWidth;
  image->height = kHeight;
  image->allocate();
  return image;
}

struct Star {
  double x, y, brightness, blue, red;
};

// A light frame: sky gradient and stars through the optics, plus the dark.
std::unique_ptr<ImageBuffer> lightFrame(const std::vector<Star>& stars, double shift, Random& random) {
  auto image = newImage(PixelFormat::Bgr24);
  for (int32_t y = 0; y < kHeight; ++y) {
    for (int32_t x = 0; x < kWidth; ++x) {
      double sky = 30 + 25.0 * x / kWidth + 10.0 * y / kHeight;
      double b = sky, g = sky, r = sky * 1.05;
      for (const Star& s : stars) {
        const double dx = x - s.x - shift, dy = y - s.y;
        const double d2 = dx * dx + dy * dy;
        if (d2 > 36) continue;
        const double light = s.brightness * std::exp(-d2 / 2.2);
        b += light * s.blue;
        g += light;
        r += light * s.red;
      }
      const double t = transmission(x, y), dark = darkCurrent(x, y, random);
      uint8_t* p = image->row(y) + 3 * static_cast<size_t>(x);
      p[0] = toByte(b * t + dark + random.noise(3));
      p[1] = toByte(g * t + dark + random.noise(3));
      p[2] = toByte(r * t + dark + random.noise(3));
    }
  }
  return image;
}

}  // namespace

bool writeDemoData(const std::string& dir, DemoFiles& files, std::string* why) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) {
    if (why) *why = "cannot create " + dir + ": " + error.message();
    return false;
  }
  auto fail = [&](const std::string& path, const std::string& reason) {
    if (why) *why = "cannot write " + path + ": " + reason;
    return false;
  };
  const std::filesystem::path folder(dir);
  Random random{2024};
  std::string reason;

  for (int i = 0; i < kDarks; ++i) {
    auto dark = newImage(PixelFormat::Gray8);
    for (int32_t y = 0; y < kHeight; ++y)
      for (int32_t x = 0; x < kWidth; ++x) dark->row(y)[x] = toByte(darkCurrent(x, y, random));
    const std::string path = (folder / ("dark_" + std::to_string(i + 1) + ".bmp")).string();
    if (!writeBitmap(path, *dark, &reason)) return fail(path, reason);
    files.darks.push_back(path);
  }

  for (int i = 0; i < kFlats; ++i) {
    auto flat = newImage(PixelFormat::GrayFloat);
    for (int32_t y = 0; y < kHeight; ++y) {
      float* row = reinterpret_cast<float*>(flat->row(y));
      for (int32_t x = 0; x < kWidth; ++x)
        row[x] = static_cast<float>(std::fmax(0.0, 200 * transmission(x, y) + random.noise(2)));
    }
    const std::string path = (folder / ("flat_" + std::to_string(i + 1) + ".fits")).string();
    if (!writeFits(path, *flat, FitsDepth::Int16, &reason)) return fail(path, reason);
    files.flats.push_back(path);
  }

  std::vector<Star> stars;
  for (int i = 0; i < 70; ++i)
    stars.push_back({random.uniform() * kWidth, random.uniform() * kHeight, 20 + 200 * std::pow(random.uniform(), 3),
                     0.7 + 0.6 * random.uniform(), 0.7 + 0.6 * random.uniform()});
  for (int i = 0; i < kLightBitmaps; ++i) {
    const std::string path = (folder / ("light_" + std::to_string(i + 1) + ".bmp")).string();
    if (!writeBitmap(path, *lightFrame(stars, i, random), &reason)) return fail(path, reason);
    files.images.push_back(path);
  }
  const std::string video = (folder / "lights.avi").string();
  AviWriter writer;
  for (int i = 0; i < kLightVideoFrames; ++i) {
    auto frame = lightFrame(stars, kLightBitmaps + i, random);
    if (i == 0 && !openAviWriter(writer, video, *frame, &reason)) return fail(video, reason);
    if (!writeAviFrame(writer, *frame, &reason)) return fail(video, reason);
  }
  if (!closeAviWriter(writer, &reason)) return fail(video, reason);
  files.images.push_back(video);
  return true;
}

}  // namespace stelp
