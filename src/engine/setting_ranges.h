#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace stelp {

// The values each number of ProcessingSettings may take. The settings pages
// accept nothing outside them, and opening a project brings a stored value
// outside its range to the nearest end of it. Each stretch pair also keeps
// its lower bound at or below its upper one.
template <typename T>
struct SettingRange {
  T lowest;
  T highest;

  // The value brought into the range; a NaN becomes the lowest value.
  constexpr T clamp(T value) const {
    if constexpr (std::is_floating_point_v<T>) {
      if (std::isnan(value)) return lowest;
    }
    return value < lowest ? lowest : value > highest ? highest : value;
  }
  constexpr bool contains(T value) const { return value >= lowest && value <= highest; }
};

// Processing: the stretch mode (none, percent, pixel levels) and the
// de-interlacing mode, each an index into its drop-down list.
inline constexpr SettingRange<int32_t> kStretchModeRange{0, 2};
inline constexpr SettingRange<int32_t> kDeInterlaceRange{0, 3};
// The FITS scale: 0 brightest pixel, 1 camera scale (FitsScale's values).
inline constexpr SettingRange<int32_t> kFitsScaleRange{0, 1};
// "% stretch" bounds are percentages of the pixels; "pix stretch" bounds are
// grey levels of the 0..255 scale every frame is processed on.
inline constexpr SettingRange<float> kStretchPercentRange{0.0f, 100.0f};
inline constexpr SettingRange<float> kStretchLevelRange{0.0f, 255.0f};

// Flat: the gradient filter's full width and height and the border left out,
// in pixels (far beyond any frame; the engine shrinks them to the frame), and
// the two variations, in grey levels.
inline constexpr SettingRange<int32_t> kFilterSizeRange{0, 100000};
inline constexpr SettingRange<int32_t> kBorderRange{0, 100000};
inline constexpr SettingRange<int32_t> kVariationRange{0, 255};

// Flat and Dark: how the master is made (CombineMethod's values), and the
// two kappas of sigma clipping. Below 1 a kappa could drop every value of a
// pixel; far above 10 nothing is ever dropped.
inline constexpr SettingRange<int32_t> kCombineMethodRange{0, 2};
inline constexpr SettingRange<float> kKappaRange{1.0f, 100.0f};

// Dark: the hot and cold pixel levels, in grey levels, and the distance bad
// pixels spread, in pixels. A negative spread marks no pixel at all (stored
// projects use it to switch marking off), so -1 stands for every negative
// value; any spread is cheap, so there is no upper limit.
inline constexpr SettingRange<uint32_t> kDarkLevelRange{0, 255};
inline constexpr SettingRange<int32_t> kExpandRange{-1, std::numeric_limits<int32_t>::max()};

}  // namespace stelp
