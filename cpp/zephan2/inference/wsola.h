// WSOLA time compression of 16 kHz mono audio (default factor 1.25).
//
// The output is assembled from input segments of 1312 samples, each placed
// where it best continues the previous one (least sum of squared differences
// over a 192-sample overlap, searched +-117 samples around the nominal
// position), cross-faded over those 192 samples. All of it runs on a
// fixed-point view of the samples (integers on a 2^24 scale carried in
// float32), and the arithmetic is fixed to the bit: float64 search sums
// accumulated sample by sample, float32 cross-fade products, the leftmost
// candidate winning a tie. The encoder input depends on every one of these.
//
// Thread contract: reentrant; no shared state.
#pragma once

#include <cstdint>
#include <vector>

namespace halvane::zephan2 {

// Sample -> fixed-point view. NaN maps to 0; +-inf and |x| >= 1 saturate.
float wsola_to_buf(double sample);
// Fixed-point view -> sample.
float wsola_from_buf(float v);

// Output length for n input samples: max(0, floor(n / factor + 0.5)).
// Raises halvane::ZeroDivisionError for factor 0 and halvane::ValueError when
// the length is not finite.
int64_t wsola_output_length(int64_t n, double factor);

template <class T>
std::vector<float> tempo_wsola(const T* x, int64_t n, double factor = 1.25);

extern template std::vector<float> tempo_wsola<float>(const float*, int64_t, double);
extern template std::vector<float> tempo_wsola<double>(const double*, int64_t, double);

}  // namespace halvane::zephan2
