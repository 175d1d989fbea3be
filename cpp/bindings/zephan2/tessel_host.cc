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
  halvane::zephan2::py::load_policy(m);
  halvane::zephan2::py::bind_constants(m);
  halvane::zephan2::py::bind_log(m);
  halvane::zephan2::py::bind_sliding_pcm(m);
  halvane::zephan2::py::bind_wsola(m);
  halvane::zephan2::py::bind_dec_inputs(m);
  halvane::zephan2::py::bind_cpu_budget(m);
  halvane::zephan2::py::bind_color(m);
  halvane::zephan2::py::bind_rgb888(m);
  halvane::zephan2::py::bind_litert_chain(m);
  halvane::zephan2::py::bind_renderer(m);
  halvane::zephan2::py::bind_containers(m);
  halvane::zephan2::py::bind_staging(m);
  halvane::zephan2::py::bind_q8gd(m);
  halvane::zephan2::py::bind_shared_enc(m);
  halvane::zephan2::py::bind_host(m);
}
