#pragma once

#include <string>
#include <vector>

namespace stelp {

// The files of the demo data set, by role.
struct DemoFiles {
  std::vector<std::string> images;  // bitmaps and one AVI (all its frames)
  std::vector<std::string> flats;
  std::vector<std::string> darks;
};

// Writes a small synthetic night into `dir`: darks with dark current and hot
// pixels, flats with vignetting and two dust shadows, and light frames of a
// star field under the same optics. False, with `why`, when a file cannot be
// written.
bool writeDemoData(const std::string& dir, DemoFiles& files, std::string* why);

}  // namespace stelp
