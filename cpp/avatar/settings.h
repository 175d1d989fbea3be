// The frame rate a live session reports, without I/O: the loaded model's
// cadence (its audio rate over its samples per tick, at least 1), or the
// default rate when there is no model or it gives no usable cadence; and the
// output sizes a session may be made at.
//
// The caller reads the model when asked and keeps the numbers (arbitrary
// integers) on its side. No Python here. Not thread-safe: one read at a
// time, on the caller's thread.
#pragma once

#include <cstdint>
#include <optional>

namespace halvane::avatar {

// The largest side of a composed frame, in pixels. The engine runtime
// composes no larger, and a session asked for more is refused when it is
// made: a frame of 100000 x 100000 would take 28 GiB at the first utterance.
inline constexpr int64_t kMaxFrameSide = 8192;

enum class OutputSize {
  native,    // None: the engine's own frame size
  composed,  // every frame composed at that size
  refused,
};

// What an output size asks for. `probe` answers, lazily and in this order:
// none(); pair() (exactly two members: width, height); side(0), side(1): the
// member as a whole number, nullopt when it is none (a truth value, a
// fraction, anything else) or beyond 64 bits. Each side must be 1 to
// kMaxFrameSide.
template <class Probe>
OutputSize output_size(Probe& probe) {
  if (probe.none()) return OutputSize::native;
  if (!probe.pair()) return OutputSize::refused;
  for (int i = 0; i < 2; ++i) {
    const std::optional<int64_t> side = probe.side(i);
    if (!side || *side < 1 || *side > kMaxFrameSide) return OutputSize::refused;
  }
  return OutputSize::composed;
}

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
