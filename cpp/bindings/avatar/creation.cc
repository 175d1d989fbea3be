// TODO(live): create, set_model.
#include "bindings/avatar/state.h"

namespace halvane::avatar::py {

void add_creation(Members& ns) {}

}  // namespace halvane::avatar::py
