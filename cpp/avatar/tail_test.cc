// The v2 tail drain's polls: whether it flushes, when it polls again, waits
// a frame period or gives up, with time passed in.
#include "avatar/tail.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using halvane::avatar::TailDrain;

// One poll: the frames it found, when, and whether the session was stopped
// before it.
struct Poll {
  bool stop_or_interrupt;
  int64_t n;
  double at;
};

struct Drained {
  bool flushed = false;  // the runtime was told the utterance ended
  int64_t polls = 0;     // emissions after the first
  int64_t waits = 0;     // frame periods slept
  int64_t emitted = 0;
};

// Drives a drain as the binding does: the first emission put out `first`
// (`abandoned`: stop or interrupt came meanwhile), the polls start at t = 0
// with `stall_s`, then one poll per row while the drain wants more.
Drained drive(int64_t ticks_emitted, int64_t tail_total, int64_t first, bool abandoned, double stall_s,
              const std::vector<Poll>& polls) {
  TailDrain d(ticks_emitted, tail_total);
  Drained run;
  run.flushed = d.flushes(first, abandoned);
  run.emitted = d.emitted();
  if (!run.flushed) return run;
  d.start(0.0, stall_s);
  for (const Poll& p : polls) {
    if (!d.more(p.stop_or_interrupt)) break;
    ++run.polls;
    run.waits += d.polled(p.n, p.at, stall_s);
  }
  run.emitted = d.emitted();
  return run;
}

TEST(TailDrain, PollsUntilTheTailIsOutStoppedOrStalled) {
  struct Row {
    const char* what;
    int64_t ticks_emitted, tail_total, first;
    bool abandoned;
    std::vector<Poll> polls;
    int64_t want_polls, want_waits, want_emitted;
  } rows[] = {
      // Abandoned: nothing is flushed, nothing polled.
      {"stopped before the flush", 0, 8, 3, true, {{false, 5, 0.1}}, 0, 0, 3},
      {"ready at once", 0, 8, 8, false, {{false, 0, 0.1}}, 0, 0, 8},
      {"counts from ticks_emitted", 5, 8, 3, false, {{false, 0, 0.1}}, 0, 0, 3},
      {"the rest after two empty polls", 0, 8, 5, false,
       {{false, 0, 0.05}, {false, 0, 0.1}, {false, 3, 0.15}}, 3, 2, 8},
      // Nothing past the allowance: the drain gives up after that poll.
      {"stalled", 0, 8, 5, false, {{false, 0, 0.1}, {false, 0, 0.25}, {false, 0, 0.35}, {false, 3, 0.4}}, 3, 2, 5},
      // A tick within the allowance renews it: 0.45 is past the first
      // deadline (0.3) but within the one the tick at 0.2 set (0.5).
      {"renewed", 0, 8, 5, false, {{false, 1, 0.2}, {false, 0, 0.45}, {false, 2, 0.48}}, 3, 1, 8},
      {"stopped", 0, 8, 5, false, {{false, 0, 0.05}, {true, 3, 0.1}}, 1, 1, 5},
      {"exactly at the deadline", 0, 8, 5, false, {{false, 0, 0.3}, {false, 3, 0.35}}, 2, 1, 8},
  };
  for (const Row& r : rows) {
    const Drained run = drive(r.ticks_emitted, r.tail_total, r.first, r.abandoned, 0.3, r.polls);
    EXPECT_EQ(run.polls, r.want_polls) << r.what;
    EXPECT_EQ(run.waits, r.want_waits) << r.what;
    EXPECT_EQ(run.emitted, r.want_emitted) << r.what;
  }
}

}  // namespace
