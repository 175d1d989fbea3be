#include "zephan2/inference/color_correct.h"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "bindings/common/numpy.h"
#include "bindings/zephan2/module.h"
#include "common/errors.h"

namespace z2::py {

using halvane::py::numpy;
using halvane::py::share_array;
using halvane::py::to_contig;
using json = nlohmann::json;

namespace {

// Deeper than the text reader's limit is never a real member; bounding the
// walk keeps self-referencing lists and pathological input off the stack.
constexpr int kMaxDepth = 512;

// Text the host can hand on: lone surrogates become their escape text, so the
// result is always valid UTF-8.
std::string utf8_of(nb::handle s) {
  nb::object b = nb::steal(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "backslashreplace"));
  if (!b.is_valid()) throw nb::python_error();
  return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

// A value JSON cannot hold, kept by its type name so that the checks report
// it where it is used, as they would any other wrong element.
json foreign(nb::handle obj) {
  std::string name = nb::cast<std::string>(obj.type().attr("__name__"));
  return json::binary(std::vector<uint8_t>(name.begin(), name.end()));
}

json number_of(nb::handle obj) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
  if (!overflow && !(v == -1 && PyErr_Occurred())) return json(static_cast<int64_t>(v));
  PyErr_Clear();
  if (overflow > 0) {
    const unsigned long long u = PyLong_AsUnsignedLongLong(obj.ptr());
    if (!PyErr_Occurred()) return json(static_cast<uint64_t>(u));
    PyErr_Clear();
  }
  // Like the text reader, integers beyond 64 bits are read as floats.
  const double d = PyLong_AsDouble(obj.ptr());
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return json(overflow > 0 ? HUGE_VAL : -HUGE_VAL);
  }
  return json(d);
}

json to_json(nb::handle obj, int depth) {
  PyObject* p = obj.ptr();
  if (p == Py_None) return json(nullptr);
  if (PyBool_Check(p)) return json(p == Py_True);
  if (PyLong_Check(p)) return number_of(obj);
  if (PyFloat_Check(p)) return json(PyFloat_AS_DOUBLE(p));
  if (PyUnicode_Check(p)) return json(utf8_of(obj));
  if (depth >= kMaxDepth) return foreign(obj);
  if (PyList_Check(p) || PyTuple_Check(p)) {
    json a = json::array();
    nb::object seq = nb::borrow(obj);
    for (nb::handle e : seq) a.push_back(to_json(e, depth + 1));
    return a;
  }
  if (PyDict_Check(p)) {
    json o = json::object();
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(p, &pos, &k, &v)) {
      nb::handle key(k);
      o[utf8_of(PyUnicode_Check(k) ? key : nb::str(key))] = to_json(nb::handle(v), depth + 1);
    }
    return o;
  }
  return foreign(obj);
}

// Only the type of a top-level value that is not an object matters.
json top_level(nb::handle obj) {
  PyObject* p = obj.ptr();
  if (PyDict_Check(p)) return to_json(obj, 0);
  if (PyBool_Check(p)) return json(false);
  if (PyLong_Check(p)) return json(0);
  if (PyFloat_Check(p)) return json(0.0);
  if (PyList_Check(p) || PyTuple_Check(p)) return json::array();
  return foreign(obj);
}

ColorParse parse(nb::handle raw, std::string_view source) {
  PyObject* p = raw.ptr();
  if (p == Py_None) return parse_color_correct(std::optional<std::string_view>{}, source);
  if (PyBytes_Check(p))
    return parse_color_correct(std::optional<std::string_view>(std::in_place, PyBytes_AS_STRING(p),
                                                               static_cast<size_t>(PyBytes_GET_SIZE(p))),
                               source);
  if (PyByteArray_Check(p) || PyMemoryView_Check(p)) {
    nb::object b = nb::steal(PyBytes_FromObject(p));
    if (!b.is_valid()) throw nb::python_error();
    return parse(b, source);
  }
  if (PyUnicode_Check(p)) {
    // Lone surrogates are kept as such, so the strict decoder refuses them.
    nb::object b = nb::steal(PyUnicode_AsEncodedString(p, "utf-8", "surrogatepass"));
    if (!b.is_valid()) throw nb::python_error();
    return parse(b, source);
  }
  return parse_color_correct(top_level(raw), source);
}

nb::str text(const std::string& s) {
  return nb::steal<nb::str>(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

template <class T, size_t N>
std::optional<std::array<T, N>> array_arg(nb::handle obj, const char* what) {
  if (obj.is_none()) return std::nullopt;
  auto c = to_contig<T>(obj);
  if (c.size != N)
    throw halvane::ValueError(std::string(what) + " must hold " + std::to_string(N) + " values, got " +
                              std::to_string(c.size));
  std::array<T, N> a;
  std::copy(c.data, c.data + N, a.begin());
  return a;
}

template <class T>
nb::object view(nb::handle self, const T* data, std::vector<size_t> shape) {
  return nb::cast(nb::ndarray<nb::numpy, const T>(data, shape.size(), shape.data(), self));
}

}  // namespace

void bind_color(nb::module_& m) {
  nb::class_<ColorCorrect>(m, "ColorCorrect")
      .def(
          "__init__",
          [](ColorCorrect* self, std::string kind, nb::handle lut, nb::handle gain, nb::handle bias,
             std::string source) {
            new (self) ColorCorrect(std::move(kind), array_arg<uint8_t, 768>(lut, "lut"),
                                    array_arg<float, 3>(gain, "gain"), array_arg<float, 3>(bias, "bias"),
                                    std::move(source));
          },
          nb::arg("kind"), nb::kw_only(), nb::arg("lut").none() = nb::none(), nb::arg("gain").none() = nb::none(),
          nb::arg("bias").none() = nb::none(), nb::arg("source") = "")
      .def_prop_ro("kind", [](const ColorCorrect& cc) { return cc.kind(); })
      .def_prop_ro("source", [](const ColorCorrect& cc) { return cc.source(); })
      .def_prop_ro("lut",
                   [](nb::handle self) -> nb::object {
                     const auto& lut = nb::cast<const ColorCorrect&>(self).lut();
                     return lut ? view<uint8_t>(self, lut->data(), {3, 256}) : nb::none();
                   })
      .def_prop_ro("gain",
                   [](nb::handle self) -> nb::object {
                     const auto& g = nb::cast<const ColorCorrect&>(self).gain();
                     return g ? view<float>(self, g->data(), {3}) : nb::none();
                   })
      .def_prop_ro("bias",
                   [](nb::handle self) -> nb::object {
                     const auto& b = nb::cast<const ColorCorrect&>(self).bias();
                     return b ? view<float>(self, b->data(), {3}) : nb::none();
                   })
      .def(
          "apply",
          [](const ColorCorrect& cc, nb::handle rgb) {
            nb::object arr = numpy().attr("asarray")(rgb);
            if (!nb::cast<bool>(arr.attr("dtype").attr("__eq__")(nb::str("uint8"))))
              throw halvane::ValueError("apply expects a uint8 array, got " +
                                        nb::cast<std::string>(arr.attr("dtype").attr("name")));
            const auto shape = nb::cast<std::vector<int64_t>>(arr.attr("shape"));
            if (shape.empty() || shape.back() != 3)
              throw halvane::ValueError("apply expects pixels of 3 channels (last axis 3), got shape " +
                                        halvane::Tensor::shape_text(shape));
            auto c = to_contig<uint8_t>(arr);
            auto out = std::make_shared_for_overwrite<uint8_t[]>(std::max<size_t>(c.size, 1));
            {
              nb::gil_scoped_release unlocked;
              cc.apply(c.data, out.get(), c.size / 3);
            }
            return share_array<uint8_t>(out, out.get(), c.shape, false);
          },
          nb::arg("rgb"), "Corrected copy of interleaved RGB pixels (uint8, last axis 3).")
      .def("describe", &ColorCorrect::describe, "One line describing the correction.");

  m.def(
      "color_descriptor",
      [](const ColorCorrect* cc) -> nb::object {
        if (!cc) return nb::none();
        ColorDescriptor d = color_descriptor(*cc);
        nb::dict r;
        r["kind"] = d.kind;
        r["sha256"] = d.sha256;
        return r;
      },
      nb::arg("cc").none(), "{'kind', 'sha256' of the table bytes} of a correction, or None.");
  m.def(
      "parse_color_correct",
      [](nb::handle raw, std::string_view source) {
        ColorParse r = parse(raw, source);
        nb::object cc = r.cc ? nb::cast(std::move(*r.cc)) : nb::none();
        return nb::make_tuple(cc, text(r.message));
      },
      nb::arg("raw").none(), nb::arg("source") = "",
      "Read color.json (bytes, text or a decoded value; None: absent) -> (ColorCorrect or None, report).");
  m.def("_color_enabled", &color_enabled, "False when ZEPHAN2_COLOR_CORRECT is 0, false, no or off.");
}

}  // namespace z2::py
