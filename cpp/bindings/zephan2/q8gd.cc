// The int8-variant selection lives in the Python edge module _q8gd: this file
// exposes it on the host module, installs it for bundle loading, and gives it
// the one file reader it needs from C++.
#include "zephan2/host/q8gd.h"

#include <nanobind/stl/string.h>

#include "bindings/common/fspath.h"
#include "bindings/zephan2/module.h"
#include "common/file.h"

namespace halvane::zephan2::py {

using namespace nb::literals;

Q8gdChoice select_q8gd_in_python(const std::string& bundle) {
  nb::gil_scoped_acquire gil;
  nb::object r = edge_fn("_q8gd", "_select_q8gd")(halvane::py::fs_text(bundle));
  nb::object path = r[0];
  Q8gdChoice c;
  if (!path.is_none()) c.path = halvane::py::fs_bytes(path);
  c.report = utf8_text(r[1]);
  return c;
}

void bind_q8gd(nb::module_& m) {
  def_edge(m, "_q8gd", "_select_q8gd",
           "_select_q8gd(bundle, cpuinfo='/proc/cpuinfo') -> (path of the int8-decoder variant to serve or None, "
           "report text; empty when it does not apply).");
  def_edge(m, "_q8gd", "int8_dot_isa",
           "int8_dot_isa(cpuinfo='/proc/cpuinfo') -> the processor's int8 dot-product flag (avx512_vnni before "
           "avx_vnni), or None.");
  def_edge(m, "_q8gd", "_q8gd_bound",
           "_q8gd_bound(manifest) -> (declared variant digest, 'bound') when the manifest binds the variant, else "
           "(None, reason).");
  def_edge(m, "_q8gd", "_q8gd_runtime_ok",
           "_q8gd_runtime_ok(manifest, running) -> (whether the running LiteRT runtime passes the variant's gate, "
           "reason).");
  def_edge(m, "_q8gd", "litert_runtime_version",
           "litert_runtime_version() -> version of the installed ai-edge-litert distribution, or None.");
  m.def(
      "_read_regular_file",
      [](nb::handle path_obj, size_t max_bytes) {
        const std::string path = halvane::py::fs_bytes(path_obj);
        std::string data;
        {
          nb::gil_scoped_release unlocked;
          data = halvane::read_regular_file(path, max_bytes);
        }
        return nb::bytes(data.data(), data.size());
      },
      "path"_a, "max_bytes"_a,
      "The bytes of a regular file of at most max_bytes; anything else is refused without waiting.");
}

}  // namespace halvane::zephan2::py
