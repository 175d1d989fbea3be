// The runs of input audio whose arrival the playout clock's start test reads:
// a run begins at the first audio after a completed, forgotten (an
// interruption forgets it) or never started run, and its input is complete
// at its first end.
//
// The seconds of a run are not kept here: the caller keeps the sum, as the
// number its own additions of the positive amounts give, and starts it again
// from 0 when note() opens a run.
//
// Thread contract: plain values, used by the thread that owns the session
// (the event loop's). No Python here.
#pragma once

#include <optional>

namespace halvane::avatar {

struct ArrivalRun {
  std::optional<double> t0;     // first audio of the run; none: no run
  bool done = false;            // the run's input is complete
  std::optional<double> t_end;  // when the last run's input completed; read only while done

  // Audio arrives at `now`. True when it opens a new run: t0 becomes `now`,
  // the run is not done and its seconds start again from 0. t_end stays.
  bool note(double now) {
    if (t0 && !done) return false;
    t0 = now;
    done = false;
    return true;
  }

  // The run's input is complete at `now`. Only the first end of a run (or
  // of no run) stamps t_end; true when this one did.
  bool end(double now) {
    const bool first = !done;
    if (first) t_end = now;
    done = true;
    return first;
  }
};

}  // namespace halvane::avatar
