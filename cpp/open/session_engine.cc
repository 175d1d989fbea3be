#include "open/session_engine.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace halvane::open {

std::string quiet_deadline_reason(double quiet) {
  const int n = std::snprintf(nullptr, 0, "%.0f", quiet);
  std::vector<char> digits(static_cast<size_t>(n) + 1);
  std::snprintf(digits.data(), digits.size(), "%.0f", quiet);
  return "quiet-deadline (" + std::string(digits.data(), static_cast<size_t>(n)) + "s with no frame)";
}

Gate SpeechGate::pushed(bool speech) {
  if (!speaking_) {
    if (!speech) return Gate::discard;
    speaking_ = true;
  }
  return Gate::hand_out;
}

Gate SpeechGate::drained(bool speech, bool idle, bool past_deadline) {
  if (!speaking_) {
    if (!speech) return past_deadline ? Gate::end_without_speech : Gate::discard;
    speaking_ = true;
    return Gate::hand_out;
  }
  return idle ? Gate::end_at_rest : Gate::hand_out;
}

bool usable_quiet(double quiet) { return !std::isnan(quiet); }

}  // namespace halvane::open
