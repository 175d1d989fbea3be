// Decoder input rows for one chunk: one row per frame, holding the latent of
// its step (channels 0-15), the latent before it (16-31) and a one-hot phase
// plane (32-35). Rows are step-major, phase-minor; the first latent of a
// stream has no predecessor and yields only its phase-3 row.
//
// Thread contract: reentrant; the result is a new array.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace halvane::zephan2 {

struct DecInputs {
  std::shared_ptr<float[]> xs;  // (n, 36, LH, LW), contiguous
  int64_t n = 0;
};

// `lats` holds at least `blk` latents of LC * PLANE float32 values each;
// `prev_lat` is null at the start of a stream.
DecInputs build_dec_inputs(const std::vector<const float*>& lats, int64_t blk, const float* prev_lat);

// How many rows those inputs have.
int64_t dec_rows(int64_t blk, const float* prev_lat);
// Rows first .. first+count-1 of them, written to `out` (count rows).
void build_dec_rows(const std::vector<const float*>& lats, const float* prev_lat, int64_t first,
                    int64_t count, float* out);

}  // namespace halvane::zephan2
