// TODO(live): stop, _drain_out_queue_until, shutdown, _end_stream_before_close, _close_runtime, cleanup.
#include "bindings/avatar/state.h"

namespace halvane::avatar::py {

void add_teardown(Members& ns) {}

}  // namespace halvane::avatar::py
