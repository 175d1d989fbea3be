// TODO(live): run, _run_iter, sync_to, _queued_reader, _ensure_running.
#include "bindings/avatar/state.h"

namespace halvane::avatar::py {

void add_output(nb::module_& m, Members& ns) {}

}  // namespace halvane::avatar::py
