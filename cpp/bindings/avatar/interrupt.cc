// TODO(live): interrupt, _drain_queue.
#include "bindings/avatar/state.h"

namespace halvane::avatar::py {

void add_interrupt(Members& ns) {}

}  // namespace halvane::avatar::py
