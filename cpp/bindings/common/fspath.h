// File-system paths across the Python boundary. Paths and names go to the
// file system as os.fsencode() gives them, so any text Python accepts as a
// path (str with escaped bytes, bytes, PathLike) reaches the same file it
// would in Python; paths coming back decode as os.fsdecode() does, so bytes
// that are not UTF-8 return as the escaped text they came in as.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace halvane::py {

namespace nb = nanobind;

inline std::string fs_bytes(nb::handle p) {
  nb::object b = nb::module_::import_("os").attr("fsencode")(p);
  return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

inline nb::str fs_text(const std::string& s) {
  PyObject* t = PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (!t) throw nb::python_error();
  return nb::steal<nb::str>(t);
}

}  // namespace halvane::py
