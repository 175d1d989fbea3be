#include "open/session_engine.h"

#include <cmath>

namespace halvane::open {

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

bool usable_quiet(double quiet) { return std::isfinite(quiet); }

}  // namespace halvane::open
