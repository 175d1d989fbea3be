#include "zephan2/inference/dec_inputs.h"

#include <algorithm>
#include <cstring>

#include "common/errors.h"
#include "zephan2/inference/constants.h"
#include "zephan2/messages.h"

namespace halvane::zephan2 {

int64_t dec_rows(int64_t blk, const float* prev_lat) {
  blk = std::max<int64_t>(blk, 0);
  return (prev_lat == nullptr && blk >= 1) ? 4 * blk - 3 : 4 * blk;
}

void build_dec_rows(const std::vector<const float*>& lats, const float* prev_lat, int64_t first,
                    int64_t count, float* out) {
  constexpr int64_t kLat = LC * PLANE;
  constexpr int64_t kRow = DEC_CH * PLANE;
  const int64_t skip = prev_lat == nullptr ? 3 : 0;  // a stream's first latent has only its phase-3 row
  for (int64_t i = first; i < first + count; ++i, out += kRow) {
    const int64_t k = i + skip, j = k / 4, p = k % 4;
    const float* zt = lats[j];
    const float* zp = j > 0 ? lats[j - 1] : (prev_lat ? prev_lat : lats[0]);
    std::memcpy(out, zt, kLat * sizeof(float));
    std::memcpy(out + kLat, zp, kLat * sizeof(float));
    float* phase = out + 2 * kLat;
    std::fill(phase, phase + 4 * PLANE, 0.0f);
    std::fill(phase + p * PLANE, phase + (p + 1) * PLANE, 1.0f);
  }
}

DecInputs build_dec_inputs(const std::vector<const float*>& lats, int64_t blk, const float* prev_lat) {
  if (blk < 0) blk = 0;
  if (static_cast<int64_t>(lats.size()) < blk) throw halvane::IndexError(msg::kListIndexRange);
  DecInputs r;
  r.n = dec_rows(blk, prev_lat);
  r.xs = std::make_shared_for_overwrite<float[]>(static_cast<size_t>(std::max<int64_t>(r.n, 1) * DEC_CH * PLANE));
  build_dec_rows(lats, prev_lat, 0, r.n, r.xs.get());
  return r;
}

}  // namespace halvane::zephan2
