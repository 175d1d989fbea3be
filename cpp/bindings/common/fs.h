// Paths between Python and the C++ cores, as the file system sees them:
// bytes. Any text Python accepts as a path (str with surrogate-escaped bytes,
// bytes, PathLike) reaches the same file it would in Python, and names coming
// back decode the way os.fsdecode() does.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace halvane::py {

inline std::string fs_bytes(nanobind::handle p) {
  nanobind::object b = nanobind::module_::import_("os").attr("fsencode")(p);
  return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

inline nanobind::str fs_text(const std::string& s) {
  PyObject* t = PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (!t) throw nanobind::python_error();
  return nanobind::steal<nanobind::str>(t);
}

}  // namespace halvane::py
