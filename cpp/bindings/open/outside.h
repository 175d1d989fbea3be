// What the bindings of the _open module share: the module's own globals and
// the package's outside modules, both looked up at the moment of use; the
// offline error kinds built by the error module's refuse(). The
// Python-protocol helpers (raising, truth, unpacking, texts, buffers) come
// from bindings/common/protocol.h, by their names here.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings/common/protocol.h"

#include <string>
#include <string_view>

namespace halvane::open::py {

namespace nb = nanobind;

using halvane::py::as_double;
using halvane::py::Buffer;
using halvane::py::check;
using halvane::py::concat;
using halvane::py::get_or;
using halvane::py::ignoring_exceptions;
using halvane::py::is_instance;
using halvane::py::next_item;
using halvane::py::raise_error;
using halvane::py::raise_from_none;
using halvane::py::run_unraisable;
using halvane::py::text;
using halvane::py::truthy;
using halvane::py::unpack_pair;
using halvane::py::utf8;

struct ModuleNames {
  nb::handle module;   // halvane._open, alive as long as the interpreter
  std::string prefix;  // "halvane.", the package that holds it
};

inline ModuleNames& module_names() {
  static ModuleNames names;
  return names;
}

// Called once, before the module's contents are bound.
inline void note_module(nb::module_& m) {
  const std::string name = nb::cast<std::string>(m.attr("__name__"));
  const size_t dot = name.rfind('.');
  module_names() = {m, dot == std::string::npos ? std::string() : name.substr(0, dot + 1)};
}

// A global of the _open module (`_whole_clip`, `_log`, ...), looked up now,
// as the module's own code finds its globals: replacing one takes effect.
inline nb::object module_global(const char* name) { return module_names().module.attr(name); }

// The package's module `name` (for example "_core"), imported now.
inline nb::module_ outside(const char* name) { return nb::module_::import_((module_names().prefix + name).c_str()); }

// The error that `refuse(kind, message, detail)` of the error module returns,
// `kind` naming one of its error kinds ("Failed", "InvalidAvatar", ...).
inline nb::object refused(const char* kind, nb::handle message, nb::handle detail) {
  nb::module_ errors = outside("_errors");
  return errors.attr("refuse")(errors.attr(kind), message, detail);
}

// For def_rw of an nb::object member: its setter takes None too.
inline auto none_too() { return nb::for_setter(nb::arg("value").none()); }

}  // namespace halvane::open::py
