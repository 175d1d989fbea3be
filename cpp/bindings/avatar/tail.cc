// The end of an utterance on v2 streams (its decisions: avatar/tail.h): the
// drain emits what is ready, tells the runtime (end_utterance), then polls
// one frame period apart for the rest, allowing the engine _V2_DRAIN_STALL_S
// seconds per tick. No frame of the drain is flagged end_of_speech: the
// producer closes the utterance.
// A composed session passes its output size as `out_size`: the drain still
// pushes and pulls as a streaming session does (the engine hands the tail out
// only that way), and fits each pulled picture inside that size.
//
// Threading: a coroutine on the event loop; end_utterance (and, through the
// tick emission, push_audio and pull_frame) run on the engine worker thread.
#include "avatar/tail.h"
#include "bindings/avatar/producer.h"

namespace halvane::avatar::py {

namespace {

using aio::Co;

Co<nb::object> drain_v2_tail(nb::handle self, nb::object rt, nb::object pcm_buf, int64_t spt,
                             int64_t ticks_emitted, int64_t tail_total, nb::object message_id, nb::object out_size) {
  Env& e = env();
  TailDrain drain(ticks_emitted, tail_total);
  // What is ready of the tail, pulled as a streaming session does; no frame
  // of it carries the end of speech.
  EmitArgs args;
  args.rt = rt;
  args.pcm_buf = pcm_buf;
  args.spt = spt;
  args.message_id = message_id;
  args.eos_padding = true;
  args.tail_total = nb::int_(tail_total);
  args.mark_last = false;
  args.fit_size = out_size;
  auto emit = [&] {
    args.ticks_emitted = ticks_emitted + drain.emitted();
    return emit_ticks(self, args);
  };

  const int64_t ready = nb::cast<int64_t>(co_await emit());
  if (!drain.flushes(ready, stop_or_interrupt(self))) co_return nb::int_(drain.emitted());

  // The runtime may fail here or have no such call: the polls below still
  // collect whatever it releases.
  try {
    co_await call(self, "_engine", rt.attr("end_utterance"));
  } catch (nb::python_error& err) {
    if (!ordinary(err)) throw;
  }

  drain.start(now(), const_f("_V2_DRAIN_STALL_S"));
  while (drain.more(stop_or_interrupt(self))) {
    const int64_t n = nb::cast<int64_t>(co_await emit());
    const double t = now();
    if (drain.polled(n, t, const_f("_V2_DRAIN_STALL_S")))
      co_await aio::py::await_(e.sleep(1.0 / float_of(get(self, "_engine_fps"))));
  }
  co_return nb::int_(drain.emitted());
}

}  // namespace

void add_v2_tail(Members& ns) {
  using namespace nb::literals;
  ns["_drain_v2_tail"] = method(
      [](nb::object self, nb::object rt, nb::object pcm_buf, nb::object spt, nb::object ticks_emitted,
         nb::object tail_total, nb::object message_id, nb::object out_size) {
        return aio::py::coroutine(drain_v2_tail(self, std::move(rt), std::move(pcm_buf), int_of(spt),
                                                int_of(ticks_emitted), int_of(tail_total), std::move(message_id),
                                                std::move(out_size)),
                                  "_drain_v2_tail", self);
      },
      nb::kw_only(), "rt"_a.none(), "pcm_buf"_a.none(), "spt"_a.none(), "ticks_emitted"_a.none(),
      "tail_total"_a.none(), "message_id"_a.none(), "out_size"_a.none() = nb::none());
}

}  // namespace halvane::avatar::py
