// Barge-in, without I/O: what interrupt() drops and resets of a running
// session, in order. The utterance in flight goes: the input not yet taken,
// the output not yet consumed (except the end of the stream and a forwarded
// failure, which a consumer waits for), the pictures held for playback-
// synchronised release; on a stream with a playout clock also the frames
// queued to the clock (same exception), whose buffer is reset, with the
// arrival run and the first push time of the utterance forgotten. Then the
// interrupt is counted (an item taken or put across it is known as the
// abandoned utterance's) and its flag raised for the producer.
//
// The session is asked and changed through `s`; no Python here. Not
// thread-safe: the event loop's thread, and nothing here waits, so the
// other tasks see all of it at once.
#pragma once

namespace halvane::avatar {

// `s` answers running() and has_playout(), and performs drop_input(),
// drop_output(), drop_held_pictures(), drop_playout(), reset_playout(),
// forget_arrival(), forget_first_push(), count() and raise_flag(). False
// when the session was not running (nothing done).
template <class S>
bool interrupt_session(S& s) {
  if (!s.running()) return false;
  s.drop_input();
  s.drop_output();
  s.drop_held_pictures();
  if (s.has_playout()) {
    s.drop_playout();
    s.reset_playout();
    s.forget_arrival();
    s.forget_first_push();
  }
  s.count();
  s.raise_flag();
  return true;
}

}  // namespace halvane::avatar
