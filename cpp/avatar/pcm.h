// Sample conversion and rate change of the audio pushed into a live session:
// 16-bit samples become float samples scaled by the largest int16 value, and
// linear interpolation moves them to the engine's rate. No Python headers;
// every function is a plain loop over caller-owned memory, safe to run with
// the GIL released on any thread.
//
// The module's helpers take whatever a caller passes (arrays of any element
// type, layout or shape, or other objects) while the loops take only plain
// memory: i16_to_f32_way() and resample_way() choose the way,
// asking a probe the caller implements, lazily and in a fixed order, so that
// an object is never asked what its kind cannot answer (a list is never asked
// its element type). Plain values; they run where the probe may be asked.
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

namespace halvane::avatar {

// out[i] = float(in[i]) / int16_max, divided in single precision. No
// clipping: -32768 becomes slightly below -1.0.
void i16_to_f32(const int16_t* in, size_t n, float* out, float int16_max);
// The same, in place over float samples that hold int16 values (or anything).
void scale_down(float* data, size_t n, float int16_max);

// `n` (> 0) samples of `in` interpolated to `m` samples in `out` (see above).
// The values are computed in double precision and rounded to Out at the end.
template <class In, class Out>
void resample_linear(const In* in, size_t n, Out* out, size_t m);

// --- which way the helpers go ---

enum class ToFloat {
  native,   // the loop above straight from the array's memory
  library,  // the array library converts, the scaling is the loop's (in place)
};

// `probe` answers ndarray(), int16() (its element type) and plain()
// (C-contiguous and aligned), asked in that order as far as needed.
template <class Probe>
ToFloat i16_to_f32_way(Probe& probe) {
  return probe.ndarray() && probe.int16() && probe.plain() ? ToFloat::native : ToFloat::library;
}

enum class Resample {
  same,        // the very object passed: equal rates, or no samples
  empty,       // a new empty array of its element type: nothing to make
  native_f32,  // resample_linear over float32 samples
  native_f64,  // resample_linear over float64 samples
  library,     // the array library's own interpolation on the same grids
};

// `probe` answers, in this order and as far as needed: same_rates(),
// no_samples(), length() (the resampled length; the caller also reads the
// element type the result keeps there), float32() and float64() (both asked),
// ndarray() and one_dim(). Only 1-D arrays of float32 or float64 take a loop.
template <class Probe>
Resample resample_way(Probe& probe) {
  if (probe.same_rates() || probe.no_samples()) return Resample::same;
  if (probe.length() <= 0) return Resample::empty;
  const bool f32 = probe.float32(), f64 = probe.float64();
  if (!(f32 || f64) || !probe.ndarray() || !probe.one_dim()) return Resample::library;
  return f32 ? Resample::native_f32 : Resample::native_f64;
}

extern template void resample_linear<float, float>(const float*, size_t, float*, size_t);
extern template void resample_linear<double, double>(const double*, size_t, double*, size_t);

}  // namespace halvane::avatar
