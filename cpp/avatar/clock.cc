#include "avatar/clock.h"

#include <algorithm>
#include <cmath>

namespace halvane::avatar {

ClockTiming ClockTiming::make(double period, long spt, long sample_rate, long chunk0_frames, long chunk_frames) {
  ClockTiming t;
  t.period = period;
  t.ahead_s = static_cast<double>(chunk_frames) * static_cast<double>(spt) / static_cast<double>(sample_rate) -
              static_cast<double>(chunk0_frames) * period;
  return t;
}

bool StartTest::next_chunk_in_time(const ClockTiming& timing, long ready, double now, const Arrival& arrival,
                                   const std::function<double()>& need1, const RenderTimes& render,
                                   const StartTuning& tuning) {
  if (!arrival.t0 || !(arrival.got > 0.0)) return false;
  const double t0 = *arrival.t0;
  const double got = arrival.got;
  if (!t_chunk0) {
    t_chunk0 = now;
    double rate0 = got / std::max(now - t0, 0.001);
    lag0 = std::max(now - (t0 + timing.audio_for(ready) / rate0), 0.0);
  }
  const double need = need1();
  // Audio per second of wall time since t0, up to the end of the input once it has ended.
  const double rate = got / std::max(arrival.t_end.value_or(now) - t0, 0.001);
  const double t_audio1 = std::max(t0 + need / rate, *t_chunk0);
  const double r1 = render.steady ? *render.steady : render.r0.value_or(lag0.value_or(0.0)) * tuning.r1_factor;
  return now + static_cast<double>(ready) * timing.period + kTimeSlack >= t_audio1 + r1 + tuning.margin_s;
}

long hold_frames(double hold_s, double period, long preroll_frames) {
  double n = std::ceil(hold_s / period - kTimeSlack);
  long frames = std::isfinite(n) && n > 0 ? static_cast<long>(std::min(n, 1e9)) : 0;
  return std::max(frames, preroll_frames + 1);
}

}  // namespace halvane::avatar
