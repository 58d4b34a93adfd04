#pragma once

#include <cstdint>

#include "image/fits_options.h"

namespace stelp {

// How a processed frame is stretched. The values are the numbers a project
// stores and the indexes of the Images page's list.
enum class StretchMode : int32_t { None = 0, Percent = 1, Levels = 2 };
// How an interlaced frame is evened out; numbered as StretchMode is.
enum class DeInterlace : int32_t { None = 0, LightBlur = 1, StrongBlur = 2, EqualiseFields = 3 };

// The calibration settings in three groups named after the project file's
// sections: a field is named by group and key, as `dark.hot` for "Dark.Hot".
struct ProcessingGroup {
  bool colour = true;     // frames processed as blue, green, red floats
  bool dark = false;      // subtract the master dark
  bool flat = false;      // divide by a flat
  bool synFlat = false;   // ... the synthetic flat instead of the master flat
  bool hot = false;       // repair the bad pixels of the dark
  StretchMode stretch = StretchMode::None;
  float stretchFromRel = 0.0f;
  float stretchToRel = 100.0f;
  float stretchFromAbs = 0.0f;
  float stretchToAbs = 255.0f;
  DeInterlace deInterlace = DeInterlace::None;
  // How FITS files are read. New work reads on the camera's scale; a project
  // saved without the choice reads each file to its brightest pixel.
  FitsScale fitsScale = FitsScale::Camera;
};

// How a master is made of its list's frames, value by value: the mean, the
// median, or the mean of what sigma clipping keeps. The values are the
// numbers a project stores and the indexes of the pages' lists.
enum class CombineMethod : int32_t { Average = 0, Median = 1, SigmaClip = 2 };

struct CombineGroup {
  CombineMethod method = CombineMethod::Average;
  // Sigma clipping drops values below median - kappaLow x sigma and above
  // median + kappaHigh x sigma until none is dropped.
  float kappaLow = 3.0f;
  float kappaHigh = 3.0f;

  // Whether masters made with `other` would come out the same: the kappas
  // matter to sigma clipping only.
  bool sameMaster(const CombineGroup& other) const {
    if (method != other.method) return false;
    return method != CombineMethod::SigmaClip || (kappaLow == other.kappaLow && kappaHigh == other.kappaHigh);
  }
};

struct FlatGroup {
  int32_t filterWidth = 100;  // full window width; half of it is used
  int32_t filterHeight = 50;
  int32_t varHi = 5;          // levels a flat pixel may lie above the window's centre
  int32_t varLo = 5;          // ... and below it
  int32_t border = 0;         // frame edge left out of gradient work
  CombineGroup combine{};     // how the master flat is made
};

struct DarkGroup {
  uint32_t hot = 200;   // a dark level above this marks a bad pixel
  uint32_t cold = 0;    // ... and below this
  int32_t expand = 0;   // city-block distance that bad pixels spread
  CombineGroup combine{}; // how the master dark is made
};

struct ProcessingSettings {
  ProcessingGroup processing;
  FlatGroup flat;
  DarkGroup dark;
};

}  // namespace stelp
