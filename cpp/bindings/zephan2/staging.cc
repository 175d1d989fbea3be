#include "zephan2/host/staging.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common/fspath.h"
#include "bindings/zephan2/module.h"
#include "zephan2/host/log.h"

namespace halvane::zephan2::py {

namespace {

using halvane::py::fs_bytes;
using halvane::py::fs_text;

// Read-only, list-like window on the registry of staged files, so Python code
// sees `_STAGED` as the live list while the C++ side owns it.
struct StagedList {};

nb::list staged_list() {
  nb::list out;
  for (const std::string& p : staged_files()) out.append(fs_text(p));
  return out;
}

nb::object opt_text(const std::optional<std::string>& p) { return p ? nb::object(fs_text(*p)) : nb::none(); }

}  // namespace

void bind_staging(nb::module_& m) {
  nb::class_<StagedList>(m, "_StagedList")
      .def("__len__", [](const StagedList&) { return staged_files().size(); })
      .def("__iter__", [](const StagedList&) { return nb::iter(staged_list()); })
      .def("__getitem__", [](const StagedList&, nb::handle i) { return staged_list().attr("__getitem__")(i); })
      .def("__contains__",
           [](const StagedList&, nb::handle p) { return staged_list().attr("__contains__")(p); })
      .def("__eq__", [](const StagedList&, nb::handle o) { return staged_list().attr("__eq__")(o); })
      .def("__repr__", [](const StagedList&) { return nb::repr(staged_list()); });

  m.def("_stage_dir", [] { return opt_text(stage_dir()); }, "The staging directory from ZEPHAN2_STAGE_DIR, or None.");
  m.def(
      "_stage_tflite",
      [](nb::handle bundle, nb::handle nm, nb::bytes data) {
        std::string b = fs_bytes(bundle), n = fs_bytes(nm);
        const char* bytes = static_cast<const char*>(data.data());
        const size_t size = data.size();
        std::string staged;
        {
          nb::gil_scoped_release unlocked;
          staged = stage_tflite(b, n, [&](int fd) { write_all(fd, bytes, size); });
        }
        return fs_text(staged);
      },
      nb::arg("bundle"), nb::arg("nm"), nb::arg("data"),
      "Path of a file holding the member: in place for a directory bundle, else a new staged file.");
  m.def(
      "_release_staged",
      [](nb::handle paths) {
        std::vector<std::string> texts;
        nb::object seq = nb::isinstance<nb::str>(paths) ? nb::object(nb::make_tuple(paths)) : nb::borrow(paths);
        for (nb::handle p : seq) texts.push_back(fs_bytes(p));
        nb::gil_scoped_release unlocked;
        release_staged(texts);
      },
      nb::arg("paths"), "Delete the staged files among `paths`.");
  m.def("_drop_staged", [] {
    nb::gil_scoped_release unlocked;
    drop_staged();
  }, "Delete every staged file still listed, newest first.");

  m.attr("_STAGED") = nb::cast(StagedList{});
  nb::module_::import_("atexit").attr("register")(m.attr("_drop_staged"));
}

}  // namespace halvane::zephan2::py
