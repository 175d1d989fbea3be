// How the output iterator's first step starts a live session, without I/O:
// it refuses without a model and does nothing while the session runs; else
// it first clears what an earlier session left behind (end-of-stream items
// on the output queue, which would end this one at once, and the end of
// speech that stop() queued for a producer that had already ended, which
// would open this one with a marker of no utterance), then starts the
// session: its events and running flag, the playout clock on a zephan-2
// stream, and the producer.
//
// The session is asked and changed through `s`; no Python here. Not
// thread-safe: the event loop's thread, and nothing here waits, so no other
// task sees a half-started session.
#pragma once

#include "avatar/model.h"

namespace halvane::avatar {

enum class Start {
  not_ready,  // no model loaded
  running,    // the session was running already: nothing done
  started,
};

// `s` answers has_fixture(), has_runtime(), running(), stop_control_left()
// and zephan2_stream() (asked once the session is marked running), and
// performs drop_stream_ends(), drop_stop_control(), mark_running(),
// start_clock() and start_producer().
template <class S>
Start start_session(S& s) {
  if (!model_loaded(s.has_fixture(), s.has_runtime())) return Start::not_ready;
  if (s.running()) return Start::running;
  s.drop_stream_ends();
  if (s.stop_control_left()) s.drop_stop_control();
  s.mark_running();
  if (s.zephan2_stream()) s.start_clock();
  s.start_producer();
  return Start::started;
}

}  // namespace halvane::avatar
