// What each binding file of halvane._avatar adds to the module.
#pragma once

#include <nanobind/nanobind.h>

namespace halvane::avatar::py {

// The internal coroutines that exercise the asyncio bridge on its own.
void bind_aio_probes(nanobind::module_& m);

}  // namespace halvane::avatar::py
