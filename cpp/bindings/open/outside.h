// What the bindings of the _open module share: the module's own globals and
// the package's outside modules, both looked up at the moment of use; the
// offline error kinds built by the error module's refuse(); raising Python
// errors from C++; texts; buffers.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings/common/errors.h"

#include <string>
#include <string_view>

namespace halvane::open::py {

namespace nb = nanobind;

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

// `raise exc`: the exception instance raised, chained to the error that the
// caller is handling, if any.
[[noreturn]] inline void raise_error(nb::handle exc) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw nb::python_error();
}

// `raise kind(message)`.
[[noreturn]] inline void raise_error(nb::handle kind, nb::handle message) {
  PyErr_SetObject(kind.ptr(), message.ptr());
  throw nb::python_error();
}

// `raise exc from None` in the handler of `caught`: no cause, `caught` as the
// context that tracebacks do not show.
[[noreturn]] inline void raise_from_none(nb::handle exc, const nb::python_error& caught) {
  PyException_SetCause(exc.ptr(), nullptr);  // also sets __suppress_context__
  PyException_SetContext(exc.ptr(), caught.value().inc_ref().ptr());
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()))), exc.inc_ref().ptr(), nullptr);
  throw nb::python_error();
}

using halvane::py::run_unraisable;

// Runs f(); an error of the Exception family it raises is dropped (others,
// such as KeyboardInterrupt, pass on).
template <class F>
void ignoring_exceptions(F&& f) {
  try {
    f();
  } catch (nb::python_error& err) {
    if (!err.matches(PyExc_Exception)) throw;
  }
}

// isinstance(obj, cls).
inline bool is_instance(nb::handle obj, nb::handle cls) {
  const int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// For def_rw of an nb::object member: its setter takes None too.
inline auto none_too() { return nb::for_setter(nb::arg("value").none()); }

// bool(obj).
inline bool truthy(nb::handle obj) {
  const int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// head + str(tail).
inline nb::str concat(const char* head, nb::handle tail) {
  PyObject* s = PyUnicode_Concat(nb::str(head).ptr(), nb::str(tail).ptr());
  if (!s) throw nb::python_error();
  return nb::steal<nb::str>(s);
}

// str(obj) as UTF-8 and UTF-8 back as text, lone surrogates kept both ways,
// for texts that the C++ core puts together.
inline std::string utf8(nb::handle obj) {
  nb::str s(obj);
  PyObject* b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass");
  if (!b) throw nb::python_error();
  std::string out(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b)));
  Py_DECREF(b);
  return out;
}

inline nb::str text(std::string_view s) {
  PyObject* t = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
  if (!t) throw nb::python_error();
  return nb::steal<nb::str>(t);
}

// The bytes of an object with the buffer protocol, C-contiguous, held while
// this lives.
class Buffer {
 public:
  explicit Buffer(nb::handle o) {
    if (PyObject_GetBuffer(o.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
  }
  ~Buffer() { PyBuffer_Release(&view_); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  const void* data() const { return view_.buf; }
  size_t size() const { return static_cast<size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

}  // namespace halvane::open::py
