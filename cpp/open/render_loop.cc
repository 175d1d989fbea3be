#include "open/render_loop.h"

#include <algorithm>

namespace halvane::open {

std::optional<RenderStats> RenderClock::stats() const noexcept {
  if (!t0 || !t1 || n == 0) return std::nullopt;
  double secs = std::max(*t1 - *t0, 1e-9);
  return RenderStats{n, secs, static_cast<double>(n) / secs};
}

int64_t short_floor(int64_t expected) noexcept {
  double allowed = static_cast<double>(expected) * SHORT_FRAC;
  return expected - std::max<int64_t>(2, static_cast<int64_t>(allowed));
}

ShortCheck short_check(int64_t delivered, std::optional<int64_t> expected) noexcept {
  if (!expected) return {std::nullopt, delivered == 0};
  int64_t floor = short_floor(*expected);
  return {floor, delivered < floor};
}

}  // namespace halvane::open
