#include "engine/gradient.h"

namespace stelp {

void detectGradient(const ImageBuffer&, const FlatGroup&, ImageBuffer&, int) {}

void smoothGradient(const ImageBuffer&, const ImageBuffer&, const FlatGroup&, ImageBuffer&, std::array<float, 3>&,
                    int) {}

}  // namespace stelp
