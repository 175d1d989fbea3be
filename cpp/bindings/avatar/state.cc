// AsyncAvatar's constructor: the queues, events and empty state of a session
// without a model.
#include "bindings/avatar/state.h"

namespace halvane::avatar::py {

namespace {

void init(nb::handle self, nb::handle input_buffer_size, nb::handle output_buffer_size, nb::handle output_size,
          nb::handle num_threads) {
  Env& e = env();
  set(self, "_num_threads", num_threads);
  set(self, "_output_size", output_size);
  set(self, "_fixture", nb::none());
  set(self, "_runtime", nb::none());
  set(self, "_model_path", nb::none());
  set(self, "_in_queue", e.Queue(nb::arg("maxsize") = input_buffer_size));
  set(self, "_out_queue", e.Queue(nb::arg("maxsize") = output_buffer_size));
  set(self, "_producer_task", nb::none());
  set(self, "_running", nb::bool_(false));
  set(self, "_stop_event", e.Event());
  set(self, "_interrupt_event", e.Event());
  set(self, "_audio_queued", nb::none());
  set(self, "_sync_pend", nb::module_::import_("collections").attr("deque")());
  set(self, "_stream_pushed", nb::int_(0));
  set(self, "_engine_executor", nb::none());
  set(self, "_playout", nb::none());
  set(self, "_emitter_task", nb::none());
  set(self, "_playout_reset", nb::bool_(false));
  set(self, "_interrupts", nb::int_(0));
}

}  // namespace

void add_state(Members& ns) {
  using namespace nb::literals;
  ns["__init__"] = method(&init, nb::kw_only(), "input_buffer_size"_a = 0, "output_buffer_size"_a = 6,
                          "output_size"_a.none() = nb::make_tuple(1280, 720), "num_threads"_a = 0);
}

}  // namespace halvane::avatar::py
