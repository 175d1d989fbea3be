#include "zephan2/host/log.h"

#include <string>
#include <vector>

#include "bindings/zephan2/module.h"
#include "common/errors.h"

namespace halvane::zephan2::py {

namespace {

// The plain text form of a log argument as bytes: str() of it, with escaped
// bytes of a file name (surrogateescape, as os.fsencode) given back as they
// were, and any other unencodable character written as a backslash escape.
std::string log_text(nb::handle a) {
  nb::str s = nb::str(a);
  PyObject* b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogateescape");
  if (!b) {
    PyErr_Clear();
    b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "backslashreplace");
    if (!b) throw nb::python_error();
  }
  nb::bytes bytes = nb::steal<nb::bytes>(b);
  return std::string(bytes.c_str(), bytes.size());
}

}  // namespace

void bind_log(nb::module_& m) {
  m.def(
      "_elog",
      [](nb::args args) {
        std::vector<std::string> texts;
        for (nb::handle a : args) texts.push_back(log_text(a));
        std::vector<std::string_view> views(texts.begin(), texts.end());
        int err;
        {
          nb::gil_scoped_release unlocked;
          err = write_log(views);
        }
        // Called from Python, a failed write is the caller's to handle; the
        // program's own lines drop it.
        if (err) throw halvane::OSError(err);
      },
      "Write one log line to standard error; OSError when it cannot be written.");
}

}  // namespace halvane::zephan2::py
