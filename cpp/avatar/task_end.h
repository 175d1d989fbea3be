// How a live session's task ends its run, without I/O. The producer and the
// playout clock both stand between the engine and the consumer of the
// output; whatever ends their run, the consumer must not be left waiting on
// a queue that nothing fills any more. Given how the run ended, this says
// what the task does before it goes: set the session's stop event, hand on
// its failure, put out the end of the stream (awaiting room, or without
// waiting), and raise again what ended it.
//
// The task that drives this catches how its run ended, performs the plan in
// the order of its fields and, when handing on the failure raises, follows
// forward_raised() instead.
//
// Thread contract: plain values, any thread. No Python here.
#pragma once

namespace halvane::avatar {

// How a task's run ended.
enum class RunEnd {
  returned,   // the run came to its end
  failed,     // an ordinary error (or a C++ one) ended it
  cancelled,  // cancellation or exit: it passes on
};

// The tasks that end their run this way.
enum class SessionTask { producer, playout_clock };

struct TaskEnd {
  enum class StreamEnd {
    none,          // the end of the stream is not put out here
    awaited,       // put out, awaiting room
    without_wait,  // put out only if there is room now
  };
  SessionTask task = SessionTask::producer;
  bool stop_session = false;     // set the session's stop event first
  bool forward_failure = false;  // hand the failure object on (awaited)
  StreamEnd stream_end = StreamEnd::none;
  bool quiet_end = false;        // an ordinary error of the end's hand-over is dropped
  bool reraise = false;          // the error that ended the run is raised again, last

  // Whether an error the end's hand-over raised is dropped (`ordinary`: not
  // cancellation or exit, which always pass on).
  bool drops_end_error(bool ordinary) const { return quiet_end && ordinary; }

  // Handing the failure on raised: the task ends as a cancelled one, that
  // error being the one raised again.
  TaskEnd forward_raised() const;
};

// The producer always ends the output with the end of the stream (its
// failure first), as the consumer reads until then. A cancelled producer
// puts the end without waiting: awaiting room in a full queue that nobody
// reads (a loop shutting down cancels every task) would hold the
// cancellation for ever; with no room, the consumer ends when it finds the
// producer gone and the queue empty. An ordinary error while handing over
// the end is dropped: the run's own failure, if any, went out before it.
//
// The playout clock forwards the producer's end of the stream when its run
// returns, so it adds none. Its own failure ends the stream in the
// producer's stead (the failure, then the end) and sets the stop event, so
// the producer stops rendering into a queue that nobody reads any more. A
// cancelled clock leaves as it is.
inline TaskEnd task_end(SessionTask task, RunEnd run) {
  const bool producer = task == SessionTask::producer;
  TaskEnd e;
  e.task = task;
  e.forward_failure = run == RunEnd::failed;
  e.stop_session = e.forward_failure && !producer;
  if (producer)
    e.stream_end = run == RunEnd::cancelled ? TaskEnd::StreamEnd::without_wait : TaskEnd::StreamEnd::awaited;
  else if (e.forward_failure)
    e.stream_end = TaskEnd::StreamEnd::awaited;
  e.quiet_end = producer;
  e.reraise = run == RunEnd::cancelled;
  return e;
}

inline TaskEnd TaskEnd::forward_raised() const { return task_end(task, RunEnd::cancelled); }

}  // namespace halvane::avatar
