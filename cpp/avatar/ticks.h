// Tick arithmetic of the live producer: how many ticks an utterance's buffer
// holds, how many of them may leave now, how long the padded tail is, and the
// per-sample conversions between the float32 buffer and the int16 audio that
// goes out with each frame.
//
// Pure functions over plain numbers and raw sample pointers; no Python. The
// sample loops are meant to run with the interpreter lock released: they
// touch only the memory they are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace halvane::avatar {

// Ticks in a buffer of `n_samples`, a partial last tick counted as one.
int64_t total_audio_ticks(int64_t n_samples, int64_t spt);

// Ticks of an open utterance that may be emitted: the whole ticks of the
// buffer less the `lookback` last ones (never below 0).
int64_t ready_total(int64_t n_samples, int64_t spt, int64_t lookback);

// How many ticks one emission call puts out.
struct EmitAsk {
  bool streaming = true;      // pulled from the runtime (else composed at a size)
  bool eos_padding = false;   // the utterance ended and its tail is padded
  std::optional<int64_t> tail_total;  // one past the utterance's last tick
  int64_t ticks_emitted = 0;  // ticks of the utterance already out
  int64_t ready_total = 0;    // see ready_total()
  int64_t available = 0;      // the runtime's ready ticks (streaming only)
};
// The count to emit; 0 or less means nothing. Composed mode with
// `eos_padding` needs `tail_total` (the caller checks).
int64_t n_to_emit(const EmitAsk& a);

// Silent ticks appended behind an ended utterance: `stream_pad` when
// streaming, `lookback` when composing; at least `v2_pad` on v2 streams.
int64_t tail_pad(bool streaming, bool v2, int64_t stream_pad, int64_t lookback, int64_t v2_pad);

// Samples the tail buffer must hold: every tick of the utterance plus the pad.
int64_t tail_target_len(int64_t ticks_emitted, int64_t remaining, int64_t pad, int64_t spt);

// The moving average of the push duration: the first value as it is, then
// 0.7 of the previous plus 0.3 of the new one.
double smooth_push_s(std::optional<double> prev, double dur);

// One tick of audio: `avail` samples of `src` (fewer than `spt` at the end
// of a buffer) clipped to -1..1, times `scale`, truncated toward zero into
// `out[0..spt)`; the samples past `avail` are zeros. NaN becomes 0.
void tick_to_i16(const float* src, size_t avail, size_t spt, float scale, int16_t* out);

// float32 samples times `scale`, truncated toward zero, without clipping;
// values beyond the int16 range saturate and NaN becomes 0.
void scale_to_i16(const float* src, size_t n, float scale, int16_t* out);

// `out` = `old[0..n_old)` followed by each of `add[0..n_add)` divided by
// `scale` as float32.
void append_i16_as_f32(const float* old, size_t n_old, const int16_t* add, size_t n_add, float scale, float* out);

// `out` = `old[0..n_old)` followed by zeros up to `n_out` samples.
void extend_with_zeros(const float* old, size_t n_old, size_t n_out, float* out);

}  // namespace halvane::avatar
