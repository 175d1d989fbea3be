// Loads the base-verification policy module `shared_enc_dep`: first from the
// installation's tools directory, then from beside the host module. Each
// candidate is put in front of the module search path only for the duration
// of its own import attempt, so no directory of ours stays ahead of the
// interpreter's own entries for the rest of the process.
#include <nanobind/stl/string.h>

#include "bindings/zephan2/module.h"
#include "zephan2/host/module_path.h"

namespace halvane::zephan2::py {

void load_policy(nb::module_& m) {
  nb::object sys_path = nb::module_::import_("sys").attr("path");
  nb::object importlib = nb::module_::import_("importlib");
  nb::object import_error = nb::module_::import_("builtins").attr("ImportError");
  m.attr("_SED") = nb::none();
  m.attr("_SED_WHY") = "";
  for (const std::string& cand : policy_candidates(host_module_dir())) {
    nb::str text(cand.c_str());
    const bool inserted = !nb::cast<bool>(sys_path.attr("__contains__")(text));
    if (inserted) sys_path.attr("insert")(0, text);
    bool loaded = false;
    try {
      m.attr("_SED") = importlib.attr("import_module")("shared_enc_dep");
      m.attr("_SED_WHY") = text;
      loaded = true;
    } catch (nb::python_error& e) {
      if (!e.matches(import_error)) {
        if (inserted) sys_path.attr("remove")(text);
        throw;
      }
      m.attr("_SED_WHY") = nb::str(e.value());
      m.attr("_SED") = nb::none();
    }
    if (inserted) sys_path.attr("remove")(text);
    if (loaded) return;
  }
}

}  // namespace halvane::zephan2::py
