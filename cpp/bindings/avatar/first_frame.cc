// TODO(live): get_first_frame, _wait_source_frame.
#include "bindings/avatar/state.h"

namespace halvane::avatar::py {

void add_first_frame(Members& ns) {}

}  // namespace halvane::avatar::py
