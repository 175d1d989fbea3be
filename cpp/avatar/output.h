// The output iterator's decisions, without I/O: how it gets its next item
// (take a queued one at once, or wait on its outstanding read of the queue
// and on the tasks that feed it), when nothing will come any more, when the
// playout queue is sealed behind a producer that died, what it does with an
// item, and the pictures its playback-synchronised mode holds back until
// their voice starts playing; and what sync_to() reads of a sink.
//
// Plain values and opaque payloads; the iterator reads the queue, the tasks
// and the clock, hands the facts here and does what comes back. No Python
// here. Not thread-safe: one iterator step at a time, on the caller's thread.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <utility>

namespace halvane::avatar {

// --- the session's tasks ---

struct TaskState {
  bool exists = false;     // the task is set
  bool done = false;       // it has finished, one way or another
  bool cancelled = false;  // it finished by cancellation

  bool running() const { return exists && !done; }
  bool ended_by_itself() const { return exists && done && !cancelled; }  // returned or failed
};

// A task as `probe` tells it (exists(), done(), cancelled()): done() is
// asked only of a set task, cancelled() only of a finished one (a task that
// is not done is not cancelled either).
template <class Probe>
TaskState task_state(Probe& probe) {
  if (!probe.exists()) return {};
  const bool done = probe.done();
  return {true, done, done && probe.cancelled()};
}

// The session's tasks as the iterator sees them at one moment.
struct SessionTasks {
  TaskState clock;               // the playout clock, when the stream has one
  TaskState producer;            // the producer
  bool producer_sealed = false;  // this producer's end was already put behind the clock
  bool playout = false;          // the queue between producer and clock is set
};

enum class Role { clock, producer };

// The task that puts on the output queue: the playout clock when the stream
// has one, else the producer (which may be absent too).
inline Role feeder(const SessionTasks& t) { return t.clock.exists ? Role::clock : Role::producer; }
inline const TaskState& state_of(const SessionTasks& t, Role r) { return r == Role::clock ? t.clock : t.producer; }
inline bool feeder_alive(const SessionTasks& t) { return state_of(t, feeder(t)).running(); }

enum class Seal {
  none,          // nothing to do
  end,           // put the end of the stream behind what the clock holds
  failure_then_end,  // put the producer's failure, if it has one, then the end
};

// A producer that ended while the playout clock runs may have ended without
// its end-of-stream item (cancelled before it ran, or killed by an error it
// could not forward): the clock would pace resting frames for ever. Its
// failure (unless it was cancelled) and the end of the stream go behind what
// the clock holds, once per producer. When the producer did put its own end,
// the clock ends at that one and the second is never read.
inline Seal seal_playout(const SessionTasks& t) {
  if (!t.producer.exists || t.producer_sealed || !t.producer.done) return Seal::none;
  if (!t.clock.running() || !t.playout) return Seal::none;
  return t.producer.cancelled ? Seal::end : Seal::failure_then_end;
}

// --- reading the output queue ---

// An item is taken at once when one is queued and no read is outstanding
// (an outstanding read is first in line for the queue).
inline bool take_at_once(bool read_outstanding, bool queued) { return !read_outstanding && queued; }

// How the iterator waits on its outstanding read: whether it waits at all,
// and on which tasks besides the read (the end of either wakes it).
struct WaitPlan {
  bool wait = false;
  bool on_feeder = false;    // the feeder, while it runs
  bool on_producer = false;  // the producer too, when the clock feeds (a producer
                             // that dies leaves the clock running: see seal_playout)
};

// With no feeder alive, nothing queued and the read not done, nothing can
// wake the wait: the iterator looks at once whether the stream has ended.
inline WaitPlan wait_plan(const SessionTasks& t, bool queued, bool read_done) {
  WaitPlan p;
  p.on_feeder = feeder_alive(t);
  p.on_producer = feeder(t) == Role::clock && t.producer.running() && !t.producer_sealed;
  p.wait = p.on_feeder || queued || read_done;
  return p;
}

// What a read step brought.
enum class Read {
  item,     // an item left the queue
  nothing,  // woken without one (a picture fell due, a task ended): look again
  ended,    // nothing will come any more
  failed,   // as ended, and the feeder finished by itself: its failure, if any, is raised
};

// After the wait: the read's item when it is done; else, when whatever fed
// the queue ended without its end-of-stream item reaching it and the queue
// is empty, the stream has ended. Only a read not done asks `tasks()` (the
// session's tasks, read afresh), then `queue_empty()` only of a dead feeder.
template <class Tasks, class QueueEmpty>
Read after_wait(bool read_done, Tasks&& tasks, QueueEmpty&& queue_empty) {
  if (read_done) return Read::item;
  const SessionTasks t = tasks();
  if (feeder_alive(t) || !queue_empty()) return Read::nothing;
  return state_of(t, feeder(t)).ended_by_itself() ? Read::failed : Read::ended;
}

// --- what to do with an item ---

enum class OutAction {
  idle,    // nothing to hand over: read on
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

// What to do with `item`, a view that answers stream_end(), failure(),
// frame(), picture() and audio(); each is asked only when the rule gets to
// it (a frame's fields only in the playback-synchronised mode). `reader_set`:
// that mode is on; `interrupted_since`: interrupt() ran after the item left
// the queue. `stale()` is asked only for an end of the stream.
template <class Item, class Stale>
OutAction output_action(const Item& item, bool reader_set, bool interrupted_since, Stale&& stale) {
  if (item.stream_end()) return stale() ? OutAction::skip : OutAction::finish;
  if (item.failure()) return OutAction::raise;
  const bool whole = reader_set && item.frame() && item.picture() && item.audio();
  if (interrupted_since) return OutAction::drop;
  return whole ? OutAction::split : OutAction::pass;
}

// The action of a read step: an item is judged by output_action, an ended
// stream finishes, and a step that brought nothing reads on.
template <class Item, class Stale>
OutAction step_action(Read read, const Item& item, bool reader_set, bool interrupted_since, Stale&& stale) {
  if (read == Read::nothing) return OutAction::idle;
  if (read != Read::item) return OutAction::finish;
  return output_action(item, reader_set, interrupted_since, std::forward<Stale>(stale));
}

// --- the pictures held back in the playback-synchronised mode ---

// The pending pictures, oldest first, kept in a store the caller owns (the
// session's own queue, which interrupt() clears and others may look at): a
// FIFO of (release time, picture) with empty(), front_due(), pop_front()
// giving the (due, picture) pair, and push_back(due, picture). Nothing is
// cached here, so the store may change between calls.
template <class Store>
class PendingPictures {
 public:
  using Picture = typename Store::Picture;
  struct Held {
    double due;
    Picture picture;
  };

  explicit PendingPictures(Store store) : store_(std::move(store)) {}

  void hold(double due, Picture picture) { store_.push_back(due, std::move(picture)); }

  // The oldest picture when its time has come by `now`; pictures leave
  // strictly in order, so a later one never overtakes a held one.
  std::optional<Picture> release_due(double now) {
    if (store_.empty() || !(store_.front_due() <= now)) return std::nullopt;
    return std::move(store_.pop_front().second);
  }

  // How long the waiting mode waits for an item: until the oldest pending
  // picture is due (at once when it is overdue), or without limit when none
  // is pending.
  std::optional<double> wait_s(double now) {
    if (store_.empty()) return std::nullopt;
    return until(store_.front_due(), now);
  }

  // For the end of the stream: the oldest picture, taken whether due or not;
  // the caller sleeps until(due) and hands it over.
  std::optional<Held> take() {
    if (store_.empty()) return std::nullopt;
    auto [due, picture] = store_.pop_front();
    return Held{due, std::move(picture)};
  }
  static double until(double due, double now) { return std::max(due - now, 0.0); }

 private:
  Store store_;
};

// --- sync_to()'s sink ---

enum class SinkRead {
  call,       // the sink is a function giving the seconds queued: call it
  attribute,  // read queued_duration of the source found
  unusable,   // nothing along the sink answers queued_duration
};

template <class Obj>
struct SinkSource {
  SinkRead how;
  Obj source;
};

// What answers the seconds of audio `sink` holds: a callable without
// queued_duration is called; otherwise the links from the plugin's session
// to its runner, to its synchroniser, to its audio source are followed as far
// as they are set, and queued_duration is read there. `probe` answers
// callable(o), has_queued_duration(o) and link(o, name) (the linked object,
// or nullopt when that link is not set), each asked only when needed.
template <class Obj, class Probe>
SinkSource<Obj> queued_source(const Obj& sink, Probe& probe) {
  if (probe.callable(sink) && !probe.has_queued_duration(sink)) return {SinkRead::call, sink};
  Obj source = sink;
  for (const char* link : {"_avatar_runner", "av_sync", "_audio_source"})
    if (std::optional<Obj> next = probe.link(source, link)) source = std::move(*next);
  if (!probe.has_queued_duration(source)) return {SinkRead::unusable, sink};
  return {SinkRead::attribute, source};
}

}  // namespace halvane::avatar
