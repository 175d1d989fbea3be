// Decoded planar frames (3, FH, FW) float, nominally 0..1, to RGB888 images
// (FH, FW, 3) bytes with the colour correction applied.
//
// The fast path takes a writeable float32 (3, FH, FW) frame: it scales and
// clips it in place, truncates to bytes, applies the correction table and
// interleaves, one fused pass per row. Every other frame takes the reference
// path, which leaves the frame untouched. Both give the same bytes. NaN gives
// byte 0 on both.
//
// Thread contract: px_to_rgb888_chunk spreads one chunk's frames over a
// process-wide pool of workers named "z2-rgb_N", created on first parallel use
// (sized by that first use) and never shut down; it returns only when every
// frame is done and then rethrows the first failure in frame-range order.
// Each task writes its own rows and frames only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "common/tensor.h"
#include "zephan2/inference/color_correct.h"

namespace z2 {

// Reference conversion of one frame (float32 or float64, shape (3, H, W) with
// H * W == FH * FW) into FRAME_BYTES bytes at `out`. Raises
// halvane::ValueError for any other input.
void px_to_rgb888(const halvane::Tensor& px_chw, const ColorCorrect* cc, uint8_t* out);

// Frames lo .. hi-1 of `px` into the same rows of `u8` (n, FH, FW, 3).
void rgb_convert_range(std::span<const halvane::Tensor> px, uint8_t* u8, int64_t lo, int64_t hi,
                       const ColorCorrect* cc);

// A new (n, FH, FW, 3) byte array for the n frames, on up to `threads` threads.
std::shared_ptr<uint8_t[]> px_to_rgb888_chunk(std::span<const halvane::Tensor> px, const ColorCorrect* cc,
                                              int64_t threads);

// ZEPHAN2_RGB_THREADS, else max(1, min(8, effective_cpu_count() / 3)); a
// value that is not an integer is logged and ignored.
int64_t rgb_threads();

// Worker count of the process-wide pool; 0 before its first use.
int64_t rgb_pool_size();

}  // namespace z2
