#pragma once

#include <cstdint>

namespace stelp::bench {

// A fixed pseudo-random sequence: pixel data that is varied (no reader or
// kernel may profit from runs of equal values) but the same on every run.
struct Lcg {
  uint32_t state;
  uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
  float unit() { return static_cast<float>(next()) * (1.0f / 16777216.0f); }
};

}  // namespace stelp::bench
