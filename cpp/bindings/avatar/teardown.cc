// Ending a live session, at three depths: stop() ends the producer and the
// playout clock in order and keeps the model; shutdown() also releases the
// engine worker thread and the runtime; cleanup() ends the stream at once
// (the consumer is handed the end of the stream) and then releases the
// engine, for a caller that closes while a consumer may still iterate.
//
// Threading: all of it runs on the event loop's thread with the GIL held.
// stop() and shutdown() interleave with the session's tasks at their awaits;
// cleanup() and its helpers never await. _close_runtime() blocks the loop's
// thread until the engine worker thread has finished the calls given to it.
#include <Python.h>

#include <exception>
#include <optional>

#include "avatar/teardown.h"
#include "bindings/avatar/messages.h"
#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

namespace {

using aio::Co;

nb::object bound(std::optional<double> s) { return s ? nb::object(nb::float_(*s)) : nb::none(); }

// Awaits what make() gives; a cancellation of the caller is not raised but
// kept in `mine`, for the caller to raise once the session is down.
template <class Make>
Co<nb::object> keeping_cancel(Make make, KeptCancel& mine) {
  try {
    co_await aio::py::await_(make());
  } catch (nb::python_error& e) {
    if (!e.matches(env().CancelledError)) throw;
    mine.keep(std::current_exception());
  }
  co_return nb::none();
}

// Waits for `task` to end, up to `timeout_s` (None: no limit), and leaves it
// as it is: a time-out does not cancel it, and how it ended is not raised
// here. The only error out of the wait is a cancellation of the caller,
// which is kept in `mine`.
Co<nb::object> settle(nb::object task, nb::object timeout_s, KeptCancel& mine) {
  nb::list tasks;
  tasks.append(task);
  co_await keeping_cancel([&] { return env().wait(tasks, nb::arg("timeout") = timeout_s); }, mine);
  TaskProbe t{task};
  if (takes_failure(t)) task.attr("exception")();
  co_return nb::none();
}

// Ends one of stop()'s tasks as avatar/teardown.h's ending() says. A caller
// cancelled during a wait is passed on by the next one's cancel and wait.
Co<nb::object> end_task(nb::object task, Stopped which, KeptCancel& mine) {
  const Ending how = ending(which);
  if (how.grace_s) co_await settle(task, bound(how.grace_s), mine);
  TaskProbe t{task};
  if (!cancels(how, t)) co_return nb::none();
  task.attr("cancel")();
  co_await settle(task, bound(how.wait_s), mine);
  co_return nb::none();
}

Co<nb::object> stop(nb::handle self) {
  Env& e = env();
  const Session s(self);
  adopt_running_loop(self);  // a session whose loop ended is stopped already
  if (!s.running()) co_return nb::none();
  KeptCancel mine;

  s.stop_event().attr("set")();
  try {
    // Kept by identity: the producer takes it as a wake-up only (it closes
    // nothing and puts out no marker); a producer that had already ended
    // leaves it queued, and the next start drops it.
    nb::object eos = e.VideoControl(nb::arg("end_of_speech") = true);
    s.in_queue().attr("put_nowait")(eos);
    s.set_stop_control(eos);
  } catch (nb::python_error& err) {
    if (!err.matches(e.asyncio.attr("QueueFull"))) throw;
  }

  nb::object producer = s.producer_task();
  if (!producer.is_none()) {
    nb::object drain = e.asyncio.attr("create_task")(self.attr("_drain_out_queue_until")(producer));
    co_await end_task(producer, Stopped::producer, mine);
    co_await end_task(drain, Stopped::drain, mine);
  }
  s.set_producer_task(nb::none());

  co_await end_task(s.emitter_task(), Stopped::clock, mine);
  s.set_emitter_task(nb::none());
  s.set_playout(nb::none());
  s.set_running(false);
  drain_nowait(s.out_queue());

  // The caller was cancelled while the session went down: now it may go on.
  mine.raise();
  co_return nb::none();
}

Co<nb::object> drain_out_queue_until(nb::handle self, nb::object producer) {
  Env& e = env();
  nb::object q = Session(self).out_queue();
  while (!task_done(producer)) {
    try {
      co_await aio::py::await_(e.wait_for(q.attr("get")(), kDrainReadS));
    } catch (nb::python_error& err) {
      if (err.matches(e.CancelledError)) co_return nb::none();
      if (!err.matches(e.TimeoutError)) throw;
    }
  }
  co_return nb::none();
}

Co<nb::object> shutdown(nb::handle self) {
  KeptCancel cancelled;
  // The engine is released all the same when the caller is cancelled.
  co_await keeping_cancel([&] { return self.attr("stop")(); }, cancelled);
  self.attr("_close_runtime")();
  const Session s(self);
  s.set_runtime(nb::none());
  s.set_fixture(nb::none());
  cancelled.raise();
  co_return nb::none();
}

void end_stream_before_close(nb::object self) {
  const Session s = Session::tolerant(self);
  if (!s.running()) return;
  nb::object stop_event = s.stop_event();
  if (!stop_event.is_none()) ignoring_exceptions([&] { stop_event.attr("set")(); });
  auto cancel = [&](nb::object task) {
    ignoring_exceptions([&] {
      TaskProbe t{task};
      if (running(t)) task.attr("cancel")();
    });
  };
  nb::object producer = s.producer_task();
  s.set_producer_task(nb::none());
  cancel(producer);
  nb::object clock = s.emitter_task();
  s.set_emitter_task(nb::none());
  cancel(clock);
  s.set_playout(nb::none());
  s.set_running(false);
  ignoring_exceptions([&] {
    nb::object q = Session(self).out_queue();
    drain_nowait(q);
    q.attr("put_nowait")(env().stream_end);
  });
}

void close_runtime(nb::object self) {
  nb::object pool = Session::tolerant(self).engine_executor();
  Session(self).set_engine_executor(nb::none());
  if (!pool.is_none()) pool.attr("shutdown")(nb::arg("wait") = true);
  nb::object close = get_or(Session(self).runtime(), "close", nb::none());
  if (close.is_none()) return;
  handling([&] { close(); }, [](const nb::python_error& err) { warn_failed(msg::kReleaseFailed, err); });
}

void cleanup(nb::object self) {
  self.attr("_end_stream_before_close")();
  self.attr("_close_runtime")();
  const Session s(self);
  if (!s.fixture().is_none()) {
    s.set_fixture(nb::none());
    s.set_runtime(nb::none());
  }
}

}  // namespace

void add_teardown(Members& ns) {
  ns["stop"] = method([](nb::object self) { return aio::py::coroutine(stop(self), "stop", self); },
                      nb::sig("def stop(self) -> collections.abc.Coroutine[typing.Any, typing.Any, None]"),
                      "Ends the session's tasks and keeps the model.");
  ns["_drain_out_queue_until"] = method(
      [](nb::object self, nb::object producer_task) {
        return aio::py::coroutine(drain_out_queue_until(self, std::move(producer_task)),
                                  "_drain_out_queue_until", self);
      },
      nb::arg("producer_task"));
  ns["shutdown"] = method([](nb::object self) { return aio::py::coroutine(shutdown(self), "shutdown", self); },
                          nb::sig("def shutdown(self) -> collections.abc.Coroutine[typing.Any, typing.Any, None]"),
                          "Stops the session and releases the engine.");
  ns["_end_stream_before_close"] = method(&end_stream_before_close);
  ns["_close_runtime"] = method(&close_runtime);
  ns["cleanup"] = method(&cleanup, nb::sig("def cleanup(self) -> None"),
                         "Ends the consumer's stream at once, then releases the engine.");
}

}  // namespace halvane::avatar::py
