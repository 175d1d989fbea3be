// How a live session's tasks are ended, without I/O: the bounds of stop()'s
// waits, how stop() ends each of its tasks (an orderly wait first or not,
// cancelled only while it runs or regardless, how long the wait after the
// cancel may last), what a wait does with the outcome of the task it waited
// for, which tasks cleanup() cancels, and the first cancellation of stop()'s
// or shutdown()'s caller, kept until the session is down.
//
// The caller holds the tasks, awaits and cancels; the rules here ask a probe
// of the task lazily (exists(), done(), cancelled()), so a task is only asked
// what the rule needs. No Python here. Not thread-safe: used on the event
// loop's thread, one teardown step at a time.
#pragma once

#include <exception>
#include <optional>
#include <utility>

namespace halvane::avatar {

// stop()'s bounds, in seconds.
inline constexpr double kProducerWaitS = 5.0;  // the producer's orderly end after the stop event
inline constexpr double kCancelWaitS = 1.0;    // the producer's end after it was cancelled
inline constexpr double kDrainReadS = 0.1;     // one read of the output drain, which then looks
                                               // whether the producer has ended

// The tasks stop() ends, in the order it ends them.
enum class Stopped {
  producer,  // asked to end by the stop event and an end of speech
  drain,     // empties the output queue so that a producer blocked on it can end
  clock,     // the playout clock
};

// How stop() ends one task. A wait never cancels on its own: a task that
// ignores its cancellation cannot hold stop() beyond its bounds.
struct Ending {
  std::optional<double> grace_s;   // an orderly wait first, up to this long
  bool always_cancel = false;      // cancelled without asking whether it still runs
  std::optional<double> wait_s;    // the wait after the cancel (nullopt: no limit)
};

constexpr Ending ending(Stopped task) {
  switch (task) {
    case Stopped::producer:
      return {kProducerWaitS, false, kCancelWaitS};
    case Stopped::drain:
      return {std::nullopt, true, std::nullopt};
    case Stopped::clock:
      return {std::nullopt, false, std::nullopt};
  }
  return {};
}

// A task that is set and has not finished; done() is asked only of a set task.
template <class Task>
bool running(Task& task) {
  return task.exists() && !task.done();
}

// After its grace (if any): whether stop() cancels `task` and waits for it
// again. Otherwise the task has ended, or was never set, and is left alone.
template <class Task>
bool cancels(const Ending& how, Task& task) {
  return how.always_cancel || running(task);
}

// After a wait: a task that finished by itself has its failure, if any,
// taken (and dropped: the teardown does not raise it, and the loop does not
// report it as never retrieved). A cancelled or still running task has none.
template <class Task>
bool takes_failure(Task& task) {
  return task.done() && !task.cancelled();
}

// A cancellation of stop()'s or shutdown()'s caller that came during the
// teardown's waits: the teardown goes on, and only the first one is raised,
// once the session is down.
class KeptCancel {
 public:
  void keep(std::exception_ptr cancel) {
    if (!first_) first_ = std::move(cancel);
  }
  // Raises the kept cancellation, if any.
  void raise() const {
    if (first_) std::rethrow_exception(first_);
  }

 private:
  std::exception_ptr first_;
};

}  // namespace halvane::avatar
