// The zephan-2 host module. Loading it runs start-up in a fixed order:
// policy load, constants and operations, the staged-file registry and its exit
// hook. Started as the program (the `tessel_render_host` command calls
// `_program`), it then serves; imported by other code, it only provides its
// operations.
#include <nanobind/nanobind.h>

#include "bindings/common/errors.h"
#include "bindings/zephan2/module.h"
#include "zephan2/inference/elog.h"

namespace nb = nanobind;

namespace {

constexpr const char* kUsage =
    "usage: tessel_render_host render-stream <bundle> [--engine <dir|.engine>] [--threads N]";

int host_main(nb::handle /*argv*/) {
  z2::elog(kUsage);
  return 2;
}

}  // namespace

NB_MODULE(_tessel_host, m) {
  halvane::py::register_errors();
  z2::py::load_policy(m);
  z2::py::bind_constants(m);
  z2::py::bind_elog(m);
  z2::py::bind_sliding_pcm(m);
  z2::py::bind_wsola(m);
  z2::py::bind_dec_inputs(m);
  z2::py::bind_cpu_budget(m);
  z2::py::bind_staging(m);

  m.def("main", &host_main, nb::arg("argv"), "Run the host program; returns the exit status.");
  m.def(
      "_program", [] { return host_main(nb::module_::import_("sys").attr("argv")); },
      "Entry of the `tessel_render_host` command: main(sys.argv).");
}
