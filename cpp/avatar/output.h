// The output iterator's decisions, without I/O: what it does with an item
// taken from the output queue, when an end of the stream is a stale one, and
// how long its waiting mode waits before the next pending picture is due.
//
// Plain values; the iterator reads the queue, the tasks and the clock and
// hands the facts here. No Python here.
#pragma once

#include <algorithm>
#include <optional>

namespace halvane::avatar {

// What the iterator knows of an item.
struct OutItem {
  bool stream_end = false;  // the end of the stream
  bool failure = false;     // a failure forwarded by the producer
  bool frame = false;       // a frame record
  bool picture = false;     // a frame with a picture
  bool audio = false;       // a frame with audio
};

enum class OutAction {
  skip,    // an end of the stream left by an earlier session's task: read on
  finish,  // release the pending pictures on time, then end
  raise,   // raise the forwarded failure
  drop,    // taken before an interrupt that came since: the abandoned utterance's
  split,   // the voice now, the picture when that voice starts playing
  pass,    // hand it over unchanged
};

// An end of the stream taken from the queue was left by a task of an earlier
// session (a producer cancelled by cleanup() still puts one when its
// cancellation runs), not put by this session's last act: more items follow
// it, or the session runs and the task that feeds the queue has not ended.
inline bool end_is_stale(bool queue_empty, bool running, bool feeder_alive) {
  return !queue_empty || (running && feeder_alive);
}

// What to do with `item`. `reader_set`: the playback-synchronised mode is on;
// `interrupted_since`: interrupt() ran after the item left the queue.
// `stale()` is asked only for an end of the stream.
template <class Stale>
OutAction output_action(const OutItem& item, bool reader_set, bool interrupted_since, Stale&& stale) {
  if (item.stream_end) return stale() ? OutAction::skip : OutAction::finish;
  if (item.failure) return OutAction::raise;
  if (interrupted_since) return OutAction::drop;
  if (reader_set && item.frame && item.picture && item.audio) return OutAction::split;
  return OutAction::pass;
}

// How long the waiting mode waits for an item: until the oldest pending
// picture is due (at once when it is overdue), or without limit when none
// is pending.
inline std::optional<double> pend_wait_s(std::optional<double> head_due, double now) {
  if (!head_due) return std::nullopt;
  return std::max(*head_due - now, 0.0);
}

}  // namespace halvane::avatar
