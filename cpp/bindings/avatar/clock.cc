// TODO(live): _emit_clock, _drop_queued_resting.
#include "bindings/avatar/state.h"

namespace halvane::avatar::py {

void add_clock(Members& ns) {}

}  // namespace halvane::avatar::py
