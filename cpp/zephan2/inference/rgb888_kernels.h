// Frame kernels of the RGB888 fast path, one per instruction set. The fast
// path runs the first kernel the processor supports; tests hold every kernel
// the test machine can run to the reference conversion.
//
// A kernel converts one writeable float32 (3, FH, FW) frame: it scales and
// clips the frame in place (NaN becomes 0), truncates to bytes, looks them up
// in `table` (768 bytes, channel c at c * 256; nullptr: no correction) and
// writes the interleaved (FH, FW, 3) image to `out`.
//
// Thread contract: kernels keep no state; concurrent calls on distinct frames
// and outputs are safe.
#pragma once

#include <cstdint>
#include <span>

namespace halvane::zephan2::rgb_kernels {

using FrameFn = void (*)(float* frame, uint8_t* out, const uint8_t* table);

struct Variant {
  const char* name;
  FrameFn fn;
  bool supported;  // by the processor this runs on
};

// Fastest first; the last one runs everywhere.
std::span<const Variant> variants();

}  // namespace halvane::zephan2::rgb_kernels
