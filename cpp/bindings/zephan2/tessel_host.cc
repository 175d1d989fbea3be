// The zephan-2 host module. Loading it runs start-up in a fixed order:
// policy load, constants and operations, the staged-file registry and its exit
// hook. Started as the program (the `tessel_render_host` command calls
// `_program`), it then serves; imported by other code, it only provides its
// operations.
#include <nanobind/nanobind.h>

#include "bindings/common/errors.h"
#include "bindings/zephan2/module.h"

namespace nb = nanobind;

NB_MODULE(_tessel_host, m) {
  halvane::py::register_errors();
  z2::py::load_policy(m);
  z2::py::bind_constants(m);
  z2::py::bind_log(m);
  z2::py::bind_sliding_pcm(m);
  z2::py::bind_wsola(m);
  z2::py::bind_dec_inputs(m);
  z2::py::bind_cpu_budget(m);
  z2::py::bind_color(m);
  z2::py::bind_rgb888(m);
  z2::py::bind_litert_chain(m);
  z2::py::bind_renderer(m);
  z2::py::bind_containers(m);
  z2::py::bind_staging(m);
  z2::py::bind_q8gd(m);
  z2::py::bind_shared_enc(m);
  z2::py::bind_host(m);
}
