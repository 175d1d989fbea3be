// Sample conversion and rate change of the audio pushed into a live session:
// 16-bit samples become float samples scaled by the largest int16 value, and
// linear interpolation moves them to the engine's rate. No Python headers;
// every function is a plain loop over caller-owned memory, safe to run with
// the GIL released on any thread.
//
// The interpolation reproduces, bit for bit, linear interpolation of the
// source samples placed on the grid k * (1 / n), k = 0 .. n - 1, at the
// target points j * (1 / m), j = 0 .. m - 1, in double precision, with
// positions past the last source point taking the last sample. The grids are
// built as NumPy's linspace(0, 1, n, endpoint=False) builds them (a product
// of k and one step, not a quotient), and each value is computed as NumPy's
// interp computes it, down to its fall-back for non-finite samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace halvane::avatar {

// out[i] = float(in[i]) / int16_max, divided in single precision. No
// clipping: -32768 becomes slightly below -1.0.
void i16_to_f32(const int16_t* in, size_t n, float* out, float int16_max);
// The same, in place over float samples that hold int16 values (or anything).
void scale_down(float* data, size_t n, float int16_max);

// Samples that `n` samples at `src_sr` Hz become at `dst_sr` Hz: n * dst / src
// rounded to the nearest integer, exact halves to the even neighbour, or 0
// when that is not positive. std::domain_error for src_sr 0. Exact (the
// same as rounding the correctly rounded double quotient) while |n * dst_sr|
// stays below 2^52.
int64_t resampled_length(int64_t n, int64_t src_sr, int64_t dst_sr);

// `n` (> 0) samples of `in` interpolated to `m` samples in `out` (see above).
// The values are computed in double precision and rounded to Out at the end.
template <class In, class Out>
void resample_linear(const In* in, size_t n, Out* out, size_t m);

extern template void resample_linear<float, float>(const float*, size_t, float*, size_t);
extern template void resample_linear<double, double>(const double*, size_t, double*, size_t);
extern template void resample_linear<float, double>(const float*, size_t, double*, size_t);

}  // namespace halvane::avatar
