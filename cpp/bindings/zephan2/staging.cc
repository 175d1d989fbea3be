#include "zephan2/host/staging.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/zephan2/module.h"
#include "zephan2/inference/elog.h"

namespace z2::py {

namespace {

// Read-only, list-like window on the registry of staged files, so Python code
// sees `_STAGED` as the live list while the C++ side owns it.
struct StagedList {};

std::string path_text(nb::handle p) { return nb::cast<std::string>(nb::module_::import_("os").attr("fspath")(p)); }

}  // namespace

void bind_staging(nb::module_& m) {
  nb::class_<StagedList>(m, "_StagedList")
      .def("__len__", [](const StagedList&) { return staged_files().size(); })
      .def("__iter__", [](const StagedList&) { return nb::iter(nb::cast(staged_files())); })
      .def("__getitem__", [](const StagedList&, nb::handle i) { return nb::cast(staged_files())[i]; })
      .def("__contains__",
           [](const StagedList&, nb::handle p) { return nb::cast(staged_files()).attr("__contains__")(p); })
      .def("__eq__", [](const StagedList&, nb::handle o) { return nb::cast(staged_files()).attr("__eq__")(o); })
      .def("__repr__", [](const StagedList&) { return nb::repr(nb::cast(staged_files())); });

  m.def("_stage_dir", [] { return stage_dir(); }, "The staging directory from ZEPHAN2_STAGE_DIR, or None.");
  m.def(
      "_stage_tflite",
      [](nb::handle bundle, nb::handle nm, nb::bytes data) {
        std::string b = path_text(bundle), n = nb::cast<std::string>(nm);
        const char* bytes = static_cast<const char*>(data.data());
        const size_t size = data.size();
        nb::gil_scoped_release unlocked;
        return stage_tflite(b, n, [&](int fd) { write_all(fd, bytes, size); });
      },
      nb::arg("bundle"), nb::arg("nm"), nb::arg("data"),
      "Path of a file holding the member: in place for a directory bundle, else a new staged file.");
  m.def(
      "_release_staged",
      [](nb::handle paths) {
        std::vector<std::string> texts;
        nb::object seq = nb::isinstance<nb::str>(paths) ? nb::object(nb::make_tuple(paths)) : nb::borrow(paths);
        for (nb::handle p : seq) texts.push_back(path_text(p));
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

}  // namespace z2::py
