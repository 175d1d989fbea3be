// The arithmetic of an offline render: the render clock that times it and the
// short-render check that compares the frames it delivered with the count the
// audio implies.
//
// Thread contract: plain values; one clock per render, used by one thread.
#pragma once

#include <cstdint>
#include <optional>

namespace halvane::open {

// Tolerance fraction of the short-render check.
inline constexpr double SHORT_FRAC = 0.02;

struct RenderStats {
  int64_t frames;
  double render_seconds;  // first audio chunk drawn -> last frame received, at least 1e-9
  double render_fps;      // frames / render_seconds
};

// Readings of the monotonic clock (seconds) at the first chunk drawn and at
// the latest frame received, and the frames counted so far.
struct RenderClock {
  std::optional<double> t0;
  std::optional<double> t1;
  int64_t n = 0;

  void chunk_drawn(double now) noexcept {
    if (!t0) t0 = now;
  }
  void frame(double now) noexcept {
    t1 = now;
    ++n;
  }
  // Nothing until a chunk was drawn and a frame received.
  std::optional<RenderStats> stats() const noexcept;
};

// expected - max(2, trunc(expected x SHORT_FRAC)): the fewest frames a render
// may deliver for a clip that implies `expected`.
int64_t short_floor(int64_t expected) noexcept;

struct ShortCheck {
  std::optional<int64_t> floor;  // none when the audio implies no count
  bool short_render;
};

// With a count: short below the floor (strictly). Without: short only when
// nothing was delivered.
ShortCheck short_check(int64_t delivered, std::optional<int64_t> expected) noexcept;

}  // namespace halvane::open
