// What the session's two tasks between engine and consumer, the producer and
// the playout clock, share: a timed take from the queue they wait on, how
// their run ended, and that end performed as avatar::TaskEnd
// (avatar/task_end.h) plans it.
//
// Threading: event-loop thread, GIL held.
#pragma once

#include <exception>

#include "avatar/task_end.h"
#include "bindings/common/errors.h"
#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

// q.get() awaited for at most `timeout_s`: the item, or an invalid object
// when the time ran out.
inline aio::Co<nb::object> get_within(nb::handle q, double timeout_s) {
  nb::object item;
  try {
    item = co_await aio::py::await_(env().wait_for(q.attr("get")(), timeout_s));
    raise_lost_cancel();
  } catch (nb::python_error& err) {
    if (!err.matches(env().TimeoutError)) throw;
  }
  co_return item;
}

// How a task's run ended, as caught.
struct RunEnded {
  RunEnd run = RunEnd::returned;
  nb::object failure;          // failed: the exception object handed on
  std::exception_ptr passing;  // cancelled: raised again at the end
};

// Called in a catch (...) handler: the error in flight told apart. A C++
// error goes on as the Python error it stands for (bindings/common/errors.h);
// one of any other kind is raised on.
inline RunEnded run_ended_now() {
  RunEnded r;
  r.run = RunEnd::failed;
  try {
    throw;
  } catch (nb::python_error& err) {
    if (!ordinary(err)) {
      r.run = RunEnd::cancelled;
      r.passing = std::current_exception();
    } else {
      r.failure = exception_of(err);
    }
  } catch (const std::exception&) {
    halvane::py::set_cpp_error(std::current_exception());
    r.failure = exception_of(nb::python_error());
  }
  return r;
}

// The end of a task's run, performed in order: `put(item)` hands an item
// over awaiting room, `put_nowait(item)` only if there is room now.
template <class Put, class PutNowait>
aio::Co<nb::object> end_run(nb::handle self, SessionTask task, RunEnded ended, Put put, PutNowait put_nowait) {
  TaskEnd plan = task_end(task, ended.run);
  if (plan.stop_session) Session(self).stop_event().attr("set")();
  if (plan.forward_failure) {
    try {
      co_await put(ended.failure);
    } catch (...) {
      ended.passing = std::current_exception();
      plan = plan.forward_raised();
    }
  }
  try {
    if (plan.stream_end == TaskEnd::StreamEnd::awaited) co_await put(env().stream_end);
    if (plan.stream_end == TaskEnd::StreamEnd::without_wait) put_nowait(env().stream_end);
  } catch (nb::python_error& err) {
    if (!plan.drops_end_error(ordinary(err))) throw;
  }
  if (plan.reraise) std::rethrow_exception(ended.passing);
  co_return nb::none();
}

}  // namespace halvane::avatar::py
