#include "zephan2/inference/cpu_budget.h"

#include <nanobind/stl/string.h>

#include "bindings/common/numpy.h"
#include "bindings/zephan2/module.h"
#include "common/errors.h"
#include "zephan2/host/settings.h"
#include "zephan2/messages.h"

namespace halvane::zephan2::py {

void bind_cpu_budget(nb::module_& m) {
  m.def("effective_cpu_count", [] { return effective_cpu_count(); },
        "Processors this process may use: system count, affinity mask and cgroup quota.");
  m.def(
      "default_threads",
      [](nb::handle n_interpreters, nb::handle requested) {
        int64_t n = 0, req = 0;
        if (!requested.is_none()) {
          nb::object as_int = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type))(requested);
          if (!halvane::py::int64_from(as_int, req))
            throw halvane::ValueError(msg::kRequestedThreadsRange);
        }
        if (!halvane::py::int64_from(n_interpreters, n)) throw halvane::ValueError(msg::kInterpretersNotInt);
        return host_default_threads(n, req);
      },
      nb::arg("n_interpreters") = 1, nb::arg("requested").none() = 0,
      "LiteRT interpreter thread count: requested, else LIBSTREAM_THREADS, else the usable processors (<= 24).");
  // Test hook: the same probe over another file tree, processor count and
  // without the affinity mask.
  m.def(
      "_effective_cpu_count_at",
      [](std::string proc_cgroup, std::string cgroup_root, std::string v1_quota, std::string v1_period,
         int64_t system_cpus) {
        CpuProbe p{proc_cgroup, cgroup_root, v1_quota, v1_period, system_cpus, false};
        return effective_cpu_count(p);
      },
      nb::arg("proc_cgroup"), nb::arg("cgroup_root"), nb::arg("v1_quota"), nb::arg("v1_period"),
      nb::arg("system_cpus"));
}

}  // namespace halvane::zephan2::py
