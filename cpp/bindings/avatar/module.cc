// The live interface, on the caller's asyncio event loop.
#include "bindings/aio/bridge.h"
#include "bindings/avatar/module.h"
#include "bindings/common/errors.h"

NB_MODULE(_avatar, m) {
  halvane::py::register_errors();
  halvane::aio::py::bind_bridge(m);
  halvane::avatar::py::bind_aio_probes(m);
}
