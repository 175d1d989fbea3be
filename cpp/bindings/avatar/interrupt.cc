// Barge-in: interrupt() drops what is queued for the utterance in flight and
// raises the flag on which the producer starts the next utterance afresh;
// the session keeps running. What it drops and resets, and in which order,
// is avatar::interrupt_session's (avatar/interrupt.h); this file performs
// each step on the session's queues and attributes. Each call is counted
// (`_interrupts`), so that an item taken off or put on a queue across one is
// known as the abandoned utterance's (the iterator and the hand-overs drop it).
//
// Threading: a plain method on the event loop's thread; it never awaits, so
// the other tasks see all of its effects at once.
#include <Python.h>

#include <optional>

#include "avatar/interrupt.h"
#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

namespace {

void drain_queue(nb::handle q) { drain_nowait(q); }

// The session as avatar::interrupt_session asks and changes it.
struct InterruptSteps {
  nb::handle self;
  Session s;
  nb::object playout = nb::none();

  bool running() const { return s.running(); }
  bool has_playout() {
    playout = s.playout();
    return !playout.is_none();
  }
  void drop_input() const { self.attr("_drain_queue")(s.in_queue()); }
  void drop_output() const { keep_nowait(s.out_queue(), is_terminal); }
  void drop_held_pictures() const { s.sync_pend().attr("clear")(); }
  void drop_playout() const { keep_nowait(playout, is_terminal); }
  void reset_playout() const { s.set_playout_reset(true); }
  void forget_arrival() const { self.attr("_arrival_dropped")(); }
  void forget_first_push() const { s.set_z2_r0(std::nullopt); }
  void count() const { s.set_interrupts(s.interrupts() + 1); }
  void raise_flag() const { s.interrupt_event().attr("set")(); }
};

void interrupt(nb::object self) {
  InterruptSteps steps{self, Session(self)};
  interrupt_session(steps);
}

}  // namespace

void add_interrupt(Members& ns) {
  ns["interrupt"] = method(&interrupt, nb::sig("def interrupt(self) -> None"),
                           "Barge-in: drops the queued audio and frames; the session goes on.");
  ns["_drain_queue"] = static_method(&drain_queue, nb::arg("q"));
}

}  // namespace halvane::avatar::py
