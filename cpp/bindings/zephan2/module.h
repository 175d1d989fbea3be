// Registration functions of the _tessel_host extension module, one per core
// unit; tessel_host.cc calls them in start-up order.
#pragma once

#include <nanobind/nanobind.h>

namespace z2::py {

namespace nb = nanobind;

void bind_constants(nb::module_& m);
void bind_elog(nb::module_& m);
void bind_sliding_pcm(nb::module_& m);
void bind_wsola(nb::module_& m);
void bind_dec_inputs(nb::module_& m);
void bind_cpu_budget(nb::module_& m);
void bind_staging(nb::module_& m);  // also registers the exit hook
void load_policy(nb::module_& m);   // sets _SED and _SED_WHY

}  // namespace z2::py
