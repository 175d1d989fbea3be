#include "zephan2/inference/dec_inputs.h"

#include <algorithm>
#include <cstring>

#include "common/errors.h"
#include "zephan2/inference/constants.h"

namespace z2 {

DecInputs build_dec_inputs(const std::vector<const float*>& lats, int64_t blk, const float* prev_lat) {
  if (blk < 0) blk = 0;
  if (static_cast<int64_t>(lats.size()) < blk) throw halvane::IndexError("list index out of range");
  const int64_t n = (prev_lat == nullptr && blk >= 1) ? 4 * blk - 3 : 4 * blk;
  constexpr int64_t kLat = LC * PLANE;
  constexpr int64_t kRow = DEC_CH * PLANE;
  DecInputs r;
  r.n = n;
  r.xs = std::make_shared_for_overwrite<float[]>(static_cast<size_t>(std::max<int64_t>(n, 1) * kRow));
  float* row = r.xs.get();
  for (int64_t j = 0; j < blk; ++j) {
    const float* zt = lats[j];
    const float* zp = j > 0 ? lats[j - 1] : (prev_lat ? prev_lat : lats[0]);
    for (int64_t p = (j == 0 && prev_lat == nullptr) ? 3 : 0; p < 4; ++p, row += kRow) {
      std::memcpy(row, zt, kLat * sizeof(float));
      std::memcpy(row + kLat, zp, kLat * sizeof(float));
      float* phase = row + 2 * kLat;
      std::fill(phase, phase + 4 * PLANE, 0.0f);
      std::fill(phase + p * PLANE, phase + (p + 1) * PLANE, 1.0f);
    }
  }
  return r;
}

}  // namespace z2
