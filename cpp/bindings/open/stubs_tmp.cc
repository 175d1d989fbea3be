// Temporary stand-ins for the audio intake and the fixture engine, so that the
// render loop builds and runs before they land: byte strings only (a whole
// clip is one chunk, an iterable gives one chunk per piece), and the expected
// frame count of a clip. Delete this file when the real units arrive.
#include <string>

#include <nanobind/stl/string.h>

#include "bindings/open/module.h"

namespace halvane::open::py {

namespace {

nb::object stub_pcm(nb::handle item) {
  if (PyBytes_Check(item.ptr()) || PyByteArray_Check(item.ptr()) || PyMemoryView_Check(item.ptr())) {
    return nb::steal(PyBytes_FromObject(item.ptr()));
  }
  std::string name = nb::cast<std::string>(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(item.ptr()))).attr("__name__"));
  throw nb::type_error(("audio must be 16 kHz mono samples (bytes / int16 or float array), an audio file path, or an "
                        "iterable of those; got " + name).c_str());
}

nb::object stub_whole_clip(nb::handle audio) {
  PyObject* a = audio.ptr();
  if (PyBytes_Check(a) || PyByteArray_Check(a) || PyMemoryView_Check(a)) return stub_pcm(audio);
  PyObject* it = PyObject_GetIter(a);
  if (!it) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
    return stub_pcm(audio);
  }
  Py_DECREF(it);
  return nb::none();
}

}  // namespace

void bind_intake(nb::module_& m) {
  m.def("_whole_clip", &stub_whole_clip, nb::arg("audio").none());
  m.def(
      "_chunks",
      [](nb::handle audio, nb::object clip) -> nb::object {
        if (clip.is_none()) clip = stub_whole_clip(audio);
        if (!clip.is_none()) return nb::iter(nb::make_tuple(clip));
        return nb::module_::import_("builtins").attr("map")(nb::cpp_function(&stub_pcm), audio);
      },
      nb::arg("audio").none(), nb::arg("clip").none() = nb::none());
  m.def(
      "_expected_frames",
      [](nb::handle clip, nb::handle fps) -> nb::object {
        if (clip.is_none() || fps.is_none()) return nb::none();
        if (PyObject_RichCompareBool(fps.ptr(), nb::int_(0).ptr(), Py_EQ) == 1) return nb::none();
        nb::object session = nb::module_::import_("halvane._session");
        double per_second = nb::cast<double>(session.attr("BYTES_PER_FRAME")) * nb::cast<double>(session.attr("FPS"));
        double n = static_cast<double>(nb::len(clip)) / per_second * nb::cast<double>(fps);
        auto frames = static_cast<long long>(n);
        return frames >= 1 ? nb::object(nb::int_(frames)) : nb::none();
      },
      nb::arg("clip").none(), nb::arg("fps").none());
}

void bind_fixture(nb::module_&) {}

}  // namespace halvane::open::py
