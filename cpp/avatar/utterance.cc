#include "avatar/utterance.h"

namespace halvane::avatar {

OpenAction open_action(bool runtime_replaced, int64_t buffered_samples, int64_t ticks_emitted, bool streaming) {
  if (runtime_replaced || buffered_samples > 0 || ticks_emitted > 0) return OpenAction::fresh;
  return streaming ? OpenAction::reset_stream : OpenAction::keep;
}

bool end_marker(const TailOutcome& t) {
  if (t.interrupted) return false;
  if (!t.had_tail || t.v2) return true;
  return t.streaming && t.tail_frames == 0 && !t.stop_or_interrupt;
}

}  // namespace halvane::avatar
