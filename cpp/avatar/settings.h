// The frame rate a live session reports, without I/O: the loaded model's
// cadence (its audio rate over its samples per tick, at least 1), or the
// default rate when there is no model or it gives no usable cadence.
//
// The caller reads the model when asked and keeps the numbers (arbitrary
// integers) on its side. No Python here. Not thread-safe: one read at a
// time, on the caller's thread.
#pragma once

namespace halvane::avatar {

enum class Fps {
  fallback,  // the default rate
  quotient,  // the audio rate floor-divided by the samples per tick
  one,       // 1: a tick longer than a second of audio
};

// Asks `probe`, lazily and in this order: loaded(), read() (false when the
// model's two numbers could not be read), samples_positive(),
// rate_positive(), quotient_positive().
template <class Probe>
Fps model_fps(Probe& probe) {
  if (!probe.loaded() || !probe.read()) return Fps::fallback;
  if (!probe.samples_positive() || !probe.rate_positive()) return Fps::fallback;
  return probe.quotient_positive() ? Fps::quotient : Fps::one;
}

}  // namespace halvane::avatar
