// AsyncAvatar's constructor: the queues, events and empty state of a session
// without a model.
#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

namespace {

void init(nb::handle self, nb::handle input_buffer_size, nb::handle output_buffer_size, nb::handle output_size,
          nb::handle num_threads) {
  Env& e = env();
  const Session s(self);
  s.set_num_threads(num_threads);
  s.set_output_size(output_size);
  s.set_fixture(nb::none());
  s.set_runtime(nb::none());
  s.set_model_path(nb::none());
  s.set_in_queue(e.Queue(nb::arg("maxsize") = input_buffer_size));
  s.set_out_queue(e.Queue(nb::arg("maxsize") = output_buffer_size));
  s.set_producer_task(nb::none());
  s.set_running(false);
  s.set_stop_event(e.Event());
  s.set_interrupt_event(e.Event());
  s.set_audio_queued(nb::none());
  s.set_sync_pend(nb::module_::import_("collections").attr("deque")());
  s.set_stream_pushed(0);
  s.set_engine_executor(nb::none());
  s.set_playout(nb::none());
  s.set_emitter_task(nb::none());
  s.set_playout_reset(false);
  s.set_interrupts(0);
}

}  // namespace

void add_state(Members& ns) {
  using namespace nb::literals;
  ns["__init__"] = method(&init, nb::kw_only(), "input_buffer_size"_a = 0, "output_buffer_size"_a = 6,
                          "output_size"_a.none() = nb::make_tuple(1280, 720), "num_threads"_a = 0,
                          nb::sig("def __init__(self, *, input_buffer_size: int = 0, output_buffer_size: int = 6, "
                                  "output_size: tuple[int, int] | None = (1280, 720), num_threads: int = 0) -> None"),
                          "A session without a model; AsyncAvatar.create() makes one with its model loaded.");
}

}  // namespace halvane::avatar::py
