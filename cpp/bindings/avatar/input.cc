// TODO(live): push_audio, push, flush, arrival statistics; _i16_to_f32, _resample_linear.
#include "bindings/avatar/state.h"

namespace halvane::avatar::py {

void add_input(nb::module_& m, Members& ns) {}

}  // namespace halvane::avatar::py
