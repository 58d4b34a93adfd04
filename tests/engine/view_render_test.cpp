#include "engine/view_render.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "engine/engine_util.h"
#include "engine/export.h"
#include "image/export_names.h"
#include "image/fits.h"

namespace stelp {
namespace {

// The view painted pixel by pixel from its definition: view pixel (x, y) shows the frame pixel that holds the point
// centre + (x - width / 2, y - height / 2) / scale, in exact binary fractions.
Bitmap24 referenceView(const ImageBuffer& image, int32_t width, int32_t height, const ViewPlace& place,
                       uint8_t background) {
  Bitmap24 bitmap;
  FillBackground(width, height, background, bitmap);
  const double scale = std::ldexp(1.0, place.level);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) {
      const double fx = std::floor(static_cast<double>(place.centreX) / 8 + (x - width / 2) / scale);
      const double fy = std::floor(static_cast<double>(place.centreY) / 8 + (y - height / 2) / scale);
      if (fx < 0 || fy < 0 || fx >= image.width || fy >= image.height) continue;
      DisplayBytes(image,
                   image.row(static_cast<int32_t>(fy)) + static_cast<size_t>(fx) * image.bytesPerPixel,
                   bitmap.bytes.data() + bitmap.rowBytes * static_cast<size_t>(y) + 3 * static_cast<size_t>(x));
    }
  return bitmap;
}

ViewPlace fixedPlace(int32_t level, int64_t centreX, int64_t centreY) { return {false, level, centreX, centreY}; }

TEST(ViewRenderTest, PaintsAsTheReferenceAndZoomAndDragsKeepThePointUnderTheCursor) {
  // Odd sizes, grey bytes and colour floats (cut to bytes as painted).
  auto grey = test::makeImage(PixelFormat::Gray8, 37, 23);
  for (int32_t y = 0; y < grey->height; ++y)
    for (int32_t x = 0; x < grey->width; ++x) grey->row(y)[x] = static_cast<uint8_t>(x * 7 + y * 31);
  auto colour = test::makeImage(PixelFormat::BgrFloat, 5, 3);
  for (int32_t i = 0; i < 5 * 3 * 3; ++i) reinterpret_cast<float*>(colour->pixels.get())[i] = 10.5f * i;

  for (const ImageBuffer* image : {grey.get(), colour.get()}) {
    const int64_t w8 = image->width * kSubPixels, h8 = image->height * kSubPixels;
    // Centred, at the frame's corners, off-centre by fractions of a pixel.
    const std::pair<int64_t, int64_t> centres[] = {{w8 / 2, h8 / 2}, {0, 0}, {w8, h8}, {13, 3 * 8 + 5}, {w8 - 3, 9}};
    for (int32_t level = kMinZoomLevel; level <= kMaxZoomLevel; ++level)
      for (const auto& [cx, cy] : centres)
        for (const auto& [width, height] : {std::pair(31, 17), std::pair(8, 8)}) {
          const ViewPlace place = fixedPlace(level, cx, cy);
          Bitmap24 painted;
          PaintView(*image, width, height, place, 200, painted);
          EXPECT_EQ(painted.bytes, referenceView(*image, width, height, place, 200).bytes)
              << image->width << " level " << level << " centre " << cx << "," << cy << " view " << width;
          // The pixel under every view pixel is the one painted there.
          for (const auto& [x, y] : {std::pair(0, 0), std::pair(width - 1, height / 2), std::pair(3, height - 1)}) {
            int32_t fx = -1, fy = -1;
            const size_t at = painted.rowBytes * static_cast<size_t>(y) + 3 * static_cast<size_t>(x);
            if (!FramePixelAt(image->width, image->height, width, height, place, x, y, fx, fy)) {
              EXPECT_EQ(painted.bytes[at], 200);
              continue;
            }
            uint8_t expected[3];
            DisplayBytes(*image, image->row(fy) + static_cast<size_t>(fx) * image->bytesPerPixel, expected);
            EXPECT_EQ(std::memcmp(&painted.bytes[at], expected, 3), 0) << x << "," << y;
          }
        }
  }

  // Fit is the rule the view always had.
  Bitmap24 fit, before;
  PaintView(*grey, 16, 9, ViewPlace(), 1, fit);
  PaintImage(*grey, 16, 9, Reduce::Allowed, Enlarge::NotAllowed, 1, before);
  EXPECT_EQ(fit.bytes, before.bytes);

  // Zooms and drags of 400 x 300 in 160 x 100, where Fit reduces by 3 (24 eighths per view pixel).
  constexpr int32_t W = 400, H = 300, w = 160, h = 100;
  const struct { ViewPlace from; int32_t steps, x, y, level; } cases[] = {
      {ViewPlace(), 1, 40, 70, -1},               // from Fit to the next larger scale, 1:2
      {ViewPlace(), -1, 100, 20, -2},             // ... and the next smaller one, 1:4
      {fixedPlace(0, 1603, 1201), 2, 17, 93, 2},  // off a pixel's corner
      {fixedPlace(3, 805, 333), -1, 150, 13, 2},
      {fixedPlace(-3, 1600, 1200), -1, 80, 50, -3},  // stops at 1:8
      {fixedPlace(3, 1600, 1200), 5, 10, 10, 3},     // stops at 8:1
  };
  auto under = [&](const ViewPlace& place, int32_t x, int32_t y) {  // the frame pixel under view pixel (x, y)
    int32_t fx = -1, fy = -1;
    EXPECT_TRUE(FramePixelAt(W, H, w, h, place, x, y, fx, fy));
    return std::pair(fx, fy);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.steps << " from " << c.from.level << " at " << c.x << "," << c.y);
    const ViewPlace zoomed = ZoomAbout(c.from, c.steps, W, H, w, h, c.x, c.y);
    EXPECT_EQ(std::pair(zoomed.fit, zoomed.level), std::pair(false, c.level));
    EXPECT_EQ(under(zoomed, c.x, c.y), under(c.from, c.x, c.y));
    // A drag carries the pixel under the pointer with it.
    EXPECT_EQ(under(PanBy(zoomed, 7, -5, W, H), c.x + 7, c.y - 5), under(c.from, c.x, c.y));
  }
  // The centre never leaves the frame, so the picture cannot be lost.
  const ViewPlace far = PanBy(fixedPlace(0, 8, 8), 5000, -5000, W, H);
  EXPECT_EQ(std::pair(far.centreX, far.centreY), std::pair(int64_t{0}, int64_t{H * kSubPixels}));
}

// Projects of 16-bit FITS frames on the camera's scale.
class ViewValuesTest : public ::testing::Test {
 protected:
  ViewValuesTest() { engine.ToggleColour(); }  // grey frames

  // A 5 x 3 frame of camera values `base` + x + 10 y, with `hot` at (3, 1).
  void add(ListRole role, double base, double hot) {
    auto image = test::makeImage(PixelFormat::GrayFloat, 5, 3);
    for (int32_t y = 0; y < 3; ++y)
      for (int32_t x = 0; x < 5; ++x) {
        const double adu = x == 3 && y == 1 ? hot : base + x + 10 * y;
        reinterpret_cast<float*>(image->row(y))[x] = static_cast<float>(adu / 257.0);
      }
    const std::string path = dir.file(std::to_string(files++) + ".fits");
    ASSERT_TRUE(writeFits(path, *image, FitsDepth::Int16));
    test::appendEntry(engine, role, path, FrameFits);
    engine.SetFocus(role, 0);
    engine.SetFrameSize({5, 3});
  }
  RenderResult render(ListRole role, int32_t view, DisplayStretch stretch = DisplayStretch::Off) {
    return engine.RenderView(static_cast<int32_t>(role), view, 10, 6, 0, bitmap,
                             ViewOptions{.place = {}, .stretch = stretch, .keepPicture = true});
  }

  test::TempDir dir;
  Engine engine;
  Bitmap24 bitmap;
  int files = 0;
};

TEST_F(ViewValuesTest, ValuesUnderTheCursorComeFromTheShownProduct) {
  add(ListRole::Images, 1000, 60000);
  for (const double base : {300.0, 500.0}) add(ListRole::Darks, base, 40000);
  render(ListRole::Images, ImagesRaw);
  render(ListRole::Darks, DarksAveraged);
  const struct { ListRole role; int32_t view, x, y, channels; bool hasCamera; double camera; } cases[] = {
      {ListRole::Darks, DarksAveraged, 3, 1, 1, true, 40000},  // the master of two frames
      {ListRole::Darks, DarksAveraged, 4, 2, 1, true, 424},    // (304 + 20 + 504 + 20) / 2
      {ListRole::Darks, DarksAveraged, 5, 0, 0, false, 0},     // off the frame
      {ListRole::Images, ImagesRaw, 0, 0, 0, false, 0},        // not what the view shows now
  };
  for (const auto& c : cases) {
    const PixelValues v = engine.ValueAt(static_cast<int32_t>(c.role), c.view, c.x, c.y);
    EXPECT_EQ(std::tuple(v.channels, v.hasCamera, v.camera[0]), std::tuple(c.channels, c.hasCamera, c.camera))
        << c.x << "," << c.y;
  }
  EXPECT_FLOAT_EQ(engine.ValueAt(int32_t(ListRole::Darks), DarksAveraged, 3, 1).value[0], 40000 / 257.0f);

  // The raw frame's exact camera values, though it is painted in bytes.
  render(ListRole::Images, ImagesRaw);
  for (const auto& [x, y, adu] : {std::tuple(3, 1, 60000.0), std::tuple(1, 2, 1021.0)}) {
    const PixelValues v = engine.ValueAt(int32_t(ListRole::Images), ImagesRaw, x, y);
    EXPECT_EQ(std::tuple(v.channels, v.hasCamera, v.camera[0]), std::tuple(1, true, adu));
  }

  // The hot-pixel map is no camera quantity; the brightest-pixel scale has none.
  render(ListRole::Darks, DarksHotPixels);
  EXPECT_FALSE(engine.ValueAt(int32_t(ListRole::Darks), DarksHotPixels, 3, 1).hasCamera);
  engine.SetFitsScale(FitsScale::BrightestPixel);
  render(ListRole::Images, ImagesRaw);
  const PixelValues brightest = engine.ValueAt(int32_t(ListRole::Images), ImagesRaw, 3, 1);
  EXPECT_EQ(std::pair(brightest.value[0], brightest.hasCamera), std::pair(255.0f, false));
}

TEST_F(ViewValuesTest, TheDisplayStretchShowsDarksBrighterAndNeverChangesAProductOrAnExport) {
  add(ListRole::Images, 20000, 20000);
  for (const double base : {300.0, 500.0}) add(ListRole::Darks, base, 40000);
  engine.ApplyImagesSettings(
      {.dark = true, .hot = true, .stretch = StretchMode::Levels, .stretchFromAbs = 50, .stretchToAbs = 150});

  auto exported = [&](const std::string& name) {
    ProcessedExport request;
    request.kind = OutputKind::Fits;
    request.sequence = true;
    request.name = sequenceNameOf(dir.file(name));
    EXPECT_TRUE(saveProcessed(engine, request).ok);
    return test::readFile(dir.file(name.substr(0, name.find('.')) + "_000.fits"));
  };
  const test::Bytes plain = exported("plain.fits");
  render(ListRole::Images, ImagesProcessed);
  // The histogram's levels are those before the stretch (about 76.2 after the dark, 66 after it; 0 where the dark is
  // brighter than the frame).
  EXPECT_EQ(std::pair(engine.ProcessedLevels()[76], engine.ProcessedLevels()[0]), std::pair(14u, 1u));

  const RenderResult dark = render(ListRole::Darks, DarksAveraged);
  const test::Bytes darkBefore = test::pixelBytes(*engine.product(kMasterDarkBit));
  const RenderResult stretched = render(ListRole::Darks, DarksAveraged, DisplayStretch::On);
  // Values of about 1.6 show near black; stretched, the median shows at a quarter of white and the brighter corner
  // above it.
  EXPECT_LT(dark.picture->row(0)[0], 3);
  EXPECT_GT(stretched.picture->row(2)[4], 64);
  EXPECT_EQ(test::pixelBytes(*engine.product(kMasterDarkBit)), darkBefore);
  render(ListRole::Images, ImagesRaw, DisplayStretch::On);
  EXPECT_EQ(exported("stretched.fits"), plain);
}

}  // namespace
}  // namespace stelp
