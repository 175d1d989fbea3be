// TODO(live): settings, properties, kept no-op members.
#include "bindings/avatar/state.h"

namespace halvane::avatar::py {

void add_settings(Members& ns) {}

}  // namespace halvane::avatar::py
