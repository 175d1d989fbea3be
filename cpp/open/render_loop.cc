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

const char* const NO_FRAMES_MESSAGE =
    "no frames came out of that render — check that the audio has speech in it, then try again";

std::string no_frames_detail(std::string_view engine_id) {
  std::string s = "engine=";
  s += engine_id;
  s += " delivered 0 frames";
  return s;
}

std::string stopped_early_message(int64_t delivered, int64_t expected) {
  return "that render stopped early — " + std::to_string(delivered) + " frames came out of the " +
         std::to_string(expected) + " this audio should produce, so the video would be short. Render it again.";
}

std::string stopped_early_detail(std::string_view engine_id, int64_t delivered, int64_t expected, int64_t floor,
                                 std::string_view fps_text, std::string_view reason_text) {
  std::string s = "engine=";
  s += engine_id;
  s += " delivered " + std::to_string(delivered) + " frames, expected >= " + std::to_string(floor) +
       " (audio implies " + std::to_string(expected) + " at ";
  s += fps_text;
  s += " fps); the render ended on: ";
  s += reason_text;
  return s;
}

}  // namespace halvane::open
