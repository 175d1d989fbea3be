// Which event loop a live session belongs to. Its queues, events and tasks
// work on one loop only, yet a caller may use one session across loops (two
// asyncio.run calls, a loop per test). A session whose loop ended without
// stop() would otherwise keep its running flag and its dead tasks, with
// queues bound to that loop: the next run() would hand out the dead
// producer's end of stream at once, and stop() would fail on the closed loop.
//
// So each entry point that awaits on the session first makes it the running
// loop's: recorded at the first use; left alone on that loop; refused while
// another loop still runs it (its tasks may be running there right now);
// else brought over as stop() would have left it when its loop ended, and
// the next run() starts it again here.
//
// Threading: the running loop's thread, GIL held; nothing here awaits.
#include "bindings/avatar/messages.h"
#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

namespace {

// A task of a closed loop can never run again, nor be cancelled: it is only
// dropped. One of a loop that is merely stopped is cancelled, so that it ends
// should that loop run again.
void forget_tasks(const Session& s) {
  for (nb::object task : {s.producer_task(), s.emitter_task()}) {
    if (task.is_none() || task_done(task)) continue;
    if (!truthy(task.attr("get_loop")().attr("is_closed")())) ignoring_exceptions([&] { task.attr("cancel")(); });
  }
  s.set_producer_task(nb::none());
  s.set_emitter_task(nb::none());
  s.set_playout(nb::none());
  s.set_playout_room(nb::none());
  s.set_running(false);
}

// New queues and events for this loop. Input not yet taken survives, as it
// survives stop(); what was queued for the old loop's consumer goes with the
// old output queue.
void renew_queues(const Session& s) {
  Env& e = env();
  nb::object in = s.in_queue();
  nb::object fresh = e.Queue(nb::arg("maxsize") = in.attr("maxsize"));
  while (!truthy(in.attr("empty")())) {
    // Taking an item wakes the old loop's waiting pushes, which fails on a
    // closed loop after the item left: that one is lost with its push.
    nb::object item;
    ignoring_exceptions([&] { item = in.attr("get_nowait")(); });
    if (item.is_valid()) fresh.attr("put_nowait")(item);
  }
  s.set_in_queue(fresh);
  s.set_out_queue(e.Queue(nb::arg("maxsize") = s.out_queue().attr("maxsize")));
  s.set_stop_event(e.Event());
  s.set_interrupt_event(e.Event());
}

}  // namespace

void adopt_running_loop(nb::handle self) {
  const Session s(self);
  nb::object loop = env().get_running_loop();
  nb::object ref = s.loop_ref();
  if (!ref.is_none()) {
    nb::object old = ref();  // None once that loop is gone
    if (old.is(loop)) return;
    if (!old.is_none() && truthy(old.attr("is_running")())) raise_(nb::handle(PyExc_RuntimeError), msg::kOtherLoop);
    forget_tasks(s);
    renew_queues(s);
  }
  s.set_loop_ref(nb::module_::import_("weakref").attr("ref")(loop));
}

}  // namespace halvane::avatar::py
