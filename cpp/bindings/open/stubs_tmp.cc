// Stand-in for the render loop's registration while it is built elsewhere.
#include "bindings/open/module.h"

namespace halvane::open::py {

void bind_render(nb::module_&) {}

}  // namespace halvane::open::py
