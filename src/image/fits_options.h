#pragma once

#include <cstdint>

namespace stelp {

// How the values of a FITS file become the engine's 0..255 grey levels.
//  - BrightestPixel: each file on its own scale, its brightest value full
//    white (how every project saved before the choice existed reads).
//  - Camera: one linear scale fixed by the data type, the same for every file
//    of a night: the physical value (raw x BSCALE + BZERO) / 257 for 16-bit
//    data, / 16843009 for 32-bit data, as is for 8-bit data; float data x 255
//    when its finite values lie within 0..1, / 257 otherwise.
enum class FitsScale : int32_t { BrightestPixel = 0, Camera = 1 };

// What a FITS export writes: unsigned 16-bit or 32-bit integers at the
// camera's scale (BZERO 32768 or 2147483648), or 32-bit floats of 0..1.
enum class FitsDepth : int32_t { Int16, Int32, Float32 };

}  // namespace stelp
