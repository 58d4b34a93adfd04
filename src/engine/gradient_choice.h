#pragma once

// Which of the equivalent kernels gradient detection and smoothing use. By
// default they take the fastest that fits: the AVX2 copy where the processor
// has it, the narrowest histogram counters and the narrowest exact
// accumulator that hold every count and sum. Every choice gives the same
// products; tests use this to check each kernel against the others, and the
// benchmark to measure the portable copy. Process-wide; set it only while no
// gradient operation runs.

namespace stelp::gradient_choice {

struct Choice {
  bool baselineInstructions = false;  // the portable (SSE2) copy even where AVX2 is available
  int minCounterBits = 0;             // 0, or 16, 32, 64: general counters of at least that size
  int minSumKind = 0;                 // 0: any; 1: 64-bit, 2: 128-bit, 3: 320-bit integers at least
};

void set(const Choice& choice);
Choice get();

// Whether the processor runs the AVX2 copy.
bool avx2Available();

}  // namespace stelp::gradient_choice
