// Barge-in: interrupt() drops what is queued for the utterance in flight
// (input not yet taken, output not yet consumed, pictures pending in the
// playback-synchronised mode, frames waiting for the playout clock) and
// raises the flag on which the producer starts the next utterance afresh.
// The session keeps running. The end of the stream and a forwarded failure
// are never dropped: they are what a consumer waits for. Each call is counted
// (`_interrupts`), so that an item taken off or put on a queue across one is
// known as the abandoned utterance's (the iterator and the hand-overs drop it).
//
// Threading: a plain method on the event loop's thread; it never awaits, so
// the other tasks see all of its effects at once.
#include <Python.h>

#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

namespace {

void drain_queue(nb::handle q) { drain_nowait(q); }

void interrupt(nb::object self) {
  const Session s(self);
  if (!s.running()) return;
  self.attr("_drain_queue")(s.in_queue());
  keep_nowait(s.out_queue(), is_terminal);
  s.sync_pend().attr("clear")();
  nb::object playout = s.playout();
  if (!playout.is_none()) {
    keep_nowait(playout, is_terminal);
    s.set_playout_reset(true);
    self.attr("_arrival_dropped")();
    s.set_z2_r0(std::nullopt);
  }
  s.set_interrupts(s.interrupts() + 1);
  s.interrupt_event().attr("set")();
}

}  // namespace

void add_interrupt(Members& ns) {
  ns["interrupt"] = method(&interrupt);
  ns["_drain_queue"] = static_method(&drain_queue, nb::arg("q"));
}

}  // namespace halvane::avatar::py
