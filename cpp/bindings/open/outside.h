// Reaching the package's outside modules from the _open module: imported by
// name at the moment of use, relative to the package that holds _open, and
// the offline error kinds built by the error module's refuse().
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

namespace halvane::open::py {

namespace nb = nanobind;

// "halvane." for the module halvane._open; set by the registration functions.
inline std::string& package_prefix() {
  static std::string prefix;
  return prefix;
}

inline void note_package(nb::module_& m) {
  const std::string name = nb::cast<std::string>(m.attr("__name__"));
  const size_t dot = name.rfind('.');
  package_prefix() = dot == std::string::npos ? std::string() : name.substr(0, dot + 1);
}

// The package's module `name` (for example "_core"), imported now.
inline nb::module_ outside(const char* name) { return nb::module_::import_((package_prefix() + name).c_str()); }

// The error that `refuse(kind, message, detail)` of the error module returns,
// `kind` naming one of its error kinds ("Failed", "InvalidAvatar", ...).
inline nb::object refused(const char* kind, nb::handle message, nb::handle detail) {
  nb::module_ errors = outside("_errors");
  return errors.attr("refuse")(errors.attr(kind), message, detail);
}

// Raises refused(kind, message, detail). With `no_context`, the error is
// raised the way `raise ... from None` raises it: no cause, and whatever was
// being handled is not shown with it.
[[noreturn]] inline void raise_refused(const char* kind, const char* message, nb::handle detail, bool no_context) {
  nb::object exc = refused(kind, nb::str(message), detail);
  if (no_context) {
    nb::setattr(exc, "__cause__", nb::none());
    nb::setattr(exc, "__suppress_context__", nb::bool_(true));
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw nb::python_error();
}

// A Python error of the kind `type` with the text `message`, raised.
[[noreturn]] inline void raise_py(PyObject* type, nb::handle message) {
  PyErr_SetObject(type, message.ptr());
  throw nb::python_error();
}

// tp_traverse / tp_clear for a bound class T whose nb::object members are
// listed by T::visit(f), so reference cycles through them can be collected.
template <class T>
int traverse_members(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  int rc = 0;
  nb::inst_ptr<T>(self)->visit([&](nb::object& o) {
    if (!rc && o.is_valid()) rc = visit(o.ptr(), arg);
  });
  return rc;
}

template <class T>
int clear_members(PyObject* self) {
  if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->visit([](nb::object& o) { o.reset(); });
  return 0;
}

template <class T>
PyType_Slot* gc_slots() {
  static PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&traverse_members<T>)},
                                {Py_tp_clear, reinterpret_cast<void*>(&clear_members<T>)},
                                {0, nullptr}};
  return slots;
}

}  // namespace halvane::open::py
