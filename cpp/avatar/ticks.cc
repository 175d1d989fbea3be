#include "avatar/ticks.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace halvane::avatar {

int64_t ready_total(int64_t n_samples, int64_t spt, int64_t lookback) {
  return std::max<int64_t>(n_samples / spt - lookback, 0);
}

int64_t n_pulled(const EmitAsk& a, int64_t available) {
  if (!a.eos_padding) return std::min(available, std::max<int64_t>(a.ready_total - a.ticks_emitted, 0));
  if (a.tail_total) return std::min(available, std::max<int64_t>(*a.tail_total - a.ticks_emitted, 0));
  return available;
}

int64_t n_composed(const EmitAsk& a) {
  if (!a.eos_padding) return a.ready_total - a.ticks_emitted;
  return a.tail_total.value_or(a.ticks_emitted) - a.ticks_emitted;
}

SliceStep next_slice(bool sliced, int64_t n_buf, int64_t pushed, int64_t slice, int64_t early,
                     bool stop_or_interrupt) {
  if (!sliced) return {};
  if (stop_or_interrupt) return {SliceStep::abandon};
  if (n_buf - pushed > slice) return {SliceStep::slice, pushed + slice};
  return {early > 0 ? SliceStep::rest : SliceStep::whole};
}

Push push_step(bool streaming, int64_t n_buf, int64_t pushed, bool stop_or_interrupt) {
  if (!streaming || n_buf <= pushed) return Push::none;
  return stop_or_interrupt ? Push::abandon : Push::push;
}

PushTime time_push(bool first_known, std::optional<double> steady, int64_t before, int64_t after, double dur) {
  if (after <= before) return {};
  if (!first_known) return {PushTime::first, dur};
  return {PushTime::steady, steady ? 0.7 * *steady + 0.3 * dur : dur};
}

TickSpan tick_span(int64_t tick_idx, int64_t spt, int64_t n_buf) {
  const int64_t start = tick_idx * spt;
  return {std::min(start, n_buf), std::max<int64_t>(std::min(n_buf, start + spt) - start, 0)};
}

bool is_last_tick(const EmitAsk& a, bool mark_last, int64_t k, int64_t n, int64_t tick_idx) {
  if (!mark_last || !a.eos_padding) return false;
  if (a.streaming) return k == n - 1;
  return a.tail_total && tick_idx == *a.tail_total - 1;
}

PictureSource picture_source(bool streaming, bool fit_size) {
  if (!streaming) return PictureSource::compose;
  return fit_size ? PictureSource::pull_fitted : PictureSource::pull;
}

bool out_of_audio_text(std::string_view text) {
  return text.find("cursor past end") != std::string_view::npos || text.find("status=6") != std::string_view::npos;
}

namespace {

// float -> int16 by truncation toward zero, saturating; NaN is 0.
inline int16_t trunc_i16(float v) {
  if (std::isnan(v)) return 0;
  if (v >= 32767.0f) return std::numeric_limits<int16_t>::max();
  if (v <= -32768.0f) return std::numeric_limits<int16_t>::min();
  return static_cast<int16_t>(static_cast<int32_t>(v));
}

}  // namespace

void tick_to_i16(const float* src, size_t avail, size_t spt, float scale, int16_t* out) {
  const size_t n = std::min(avail, spt);
  for (size_t i = 0; i < n; ++i) out[i] = trunc_i16(std::clamp(src[i], -1.0f, 1.0f) * scale);
  std::fill(out + n, out + spt, int16_t{0});
}

void scale_to_i16(const float* src, size_t n, float scale, int16_t* out) {
  for (size_t i = 0; i < n; ++i) out[i] = trunc_i16(src[i] * scale);
}

void append_i16_as_f32(const float* old, size_t n_old, const int16_t* add, size_t n_add, float scale, float* out) {
  if (n_old) std::memcpy(out, old, n_old * sizeof(float));
  for (size_t i = 0; i < n_add; ++i) out[n_old + i] = static_cast<float>(add[i]) / scale;
}

void extend_with_zeros(const float* old, size_t n_old, size_t n_out, float* out) {
  const size_t keep = std::min(n_old, n_out);
  if (keep) std::memcpy(out, old, keep * sizeof(float));
  std::fill(out + keep, out + n_out, 0.0f);
}

}  // namespace halvane::avatar
