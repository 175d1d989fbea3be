// The end of an utterance on v2 streams, without I/O: those engines hold back
// the last ticks until they are told the utterance ended. The drain emits
// what is ready, tells the runtime (unless stop or interrupt abandoned the
// utterance: the engine would render its last chunk and the padding behind it
// for nobody), then polls one frame period apart for the rest until the tail
// is out, the session is stopped or interrupted, or the engine has released
// nothing for the stall allowance.
//
// Time is passed in. Thread contract: one TailDrain per drain call, used by
// the thread that runs it. No Python here.
#pragma once

#include <cstdint>

namespace halvane::avatar {

class TailDrain {
 public:
  // `ticks_emitted`: the utterance's ticks out before the drain;
  // `tail_total`: one past its last tick.
  TailDrain(int64_t ticks_emitted, int64_t tail_total) : before_(ticks_emitted), total_(tail_total) {}

  // The first emission put out `n` frames. Returns whether the runtime is
  // told the utterance ended and the polls follow.
  bool flushes(int64_t n, bool stop_or_interrupt) {
    emitted_ += n;
    return !stop_or_interrupt;
  }

  // The polls start at `now` (once the runtime was told): the engine has
  // `stall_s` to release a tick.
  void start(double now, double stall_s) { deadline_ = now + stall_s; }

  // Whether to poll again: ticks of the tail are missing, nothing stopped
  // the session and the engine has not stalled.
  bool more(bool stop_or_interrupt) const { return !stalled_ && before_ + emitted_ < total_ && !stop_or_interrupt; }

  // A poll put out `n` frames at `now`. Returns whether to wait one frame
  // period before the next: a poll that found nothing, within the allowance.
  // New frames renew the allowance (`stall_s` from now); nothing past it
  // ends the drain.
  bool polled(int64_t n, double now, double stall_s) {
    if (n != 0) {
      emitted_ += n;
      deadline_ = now + stall_s;
      return false;
    }
    stalled_ = now > deadline_;
    return !stalled_;
  }

  // Frames the drain put out.
  int64_t emitted() const { return emitted_; }

 private:
  int64_t before_, total_;
  int64_t emitted_ = 0;
  double deadline_ = 0.0;
  bool stalled_ = false;
};

}  // namespace halvane::avatar
