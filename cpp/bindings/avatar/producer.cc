// TODO(live): _produce_frames, _fresh_runtime, _is_z2_stream, _is_v2_stream, _emit_out, _engine, _drain_v2_tail, _emit_ready_ticks.
#include "bindings/avatar/state.h"

namespace halvane::avatar::py {

void add_producer(Members& ns) {}

}  // namespace halvane::avatar::py
