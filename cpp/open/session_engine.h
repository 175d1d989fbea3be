// The session engine's decisions, free of Python: which pulled frames are
// handed out and when a render is over, and the quiet deadline of the drain.
#pragma once

namespace halvane::open {

// What to do with a frame pulled from the session.
enum class Gate { discard, hand_out, end_at_rest, end_without_speech };

// Frames before the first speech frame are dropped; from it on everything is
// handed out, until, once the audio has ended, the avatar is back at rest.
class SpeechGate {
 public:
  // A frame pulled while audio is still being pushed.
  Gate pushed(bool speech);
  // A frame pulled after the end of the audio; `idle` matters once speaking,
  // `past_deadline` only before.
  Gate drained(bool speech, bool idle, bool past_deadline);
  bool speaking() const { return speaking_; }

 private:
  bool speaking_ = false;
};

// The drain's deadline: `quiet` seconds after the end of the audio, renewed
// whenever a frame is handed out; passed only when the clock is strictly
// later.
class QuietDeadline {
 public:
  void renew(double now, double quiet) { at_ = now + quiet; }
  bool passed(double now) const { return now > at_; }
  double at() const { return at_; }

 private:
  double at_ = 0;
};

// A `quiet` value a render can wait on: finite (no clock is ever later than a
// NaN or an infinite deadline, so a silent render would wait forever).
bool usable_quiet(double quiet);

}  // namespace halvane::open
