// The colour correction record and its operations, and the colour table
// reader of the Python edge module _color_table, exposed on the host module
// and installed for colour table loading.
#include "zephan2/inference/color_correct.h"

#include <nanobind/stl/string.h>

#include <cstdlib>

#include "bindings/common/numpy.h"
#include "bindings/common/fspath.h"
#include "bindings/zephan2/module.h"
#include "common/errors.h"
#include "zephan2/host/color_table.h"
#include "zephan2/inference/constants.h"
#include "zephan2/messages.h"

namespace halvane::zephan2::py {

using halvane::py::numpy;
using halvane::py::share_array;
using halvane::py::to_contig;

namespace {

}  // namespace

ColorParse parse_color_in_python(std::optional<std::string_view> raw, std::string_view source) {
  nb::gil_scoped_acquire gil;
  nb::object member = raw ? nb::object(nb::bytes(raw->data(), raw->size())) : nb::none();
  nb::object r = edge_fn("_color_table", "parse_color_correct")(member, halvane::py::fs_text(std::string(source)));
  nb::object cc = r[0];
  ColorParse p;
  if (!cc.is_none()) p.cc = nb::cast<const ColorCorrect&>(cc);
  p.message = utf8_text(r[1]);
  return p;
}

namespace {

template <class T, size_t N>
std::optional<std::array<T, N>> array_arg(nb::handle obj, const char* what) {
  if (obj.is_none()) return std::nullopt;
  auto c = to_contig<T>(obj);
  if (c.size != N)
    throw halvane::ValueError(msg::color_values_count(what, N, std::to_string(c.size)));
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
              throw halvane::ValueError(msg::apply_dtype(nb::cast<std::string>(arr.attr("dtype").attr("name"))));
            const auto shape = nb::cast<std::vector<int64_t>>(arr.attr("shape"));
            if (shape.empty() || shape.back() != 3)
              throw halvane::ValueError(msg::apply_shape(halvane::Tensor::shape_text(shape)));
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
  def_edge(m, "_color_table", "parse_color_correct",
           "parse_color_correct(raw, source='') -> (ColorCorrect or None, report): read color.json (bytes, text "
           "or a decoded value; None: absent).");
  m.def(
      "_color_enabled",
      [] {
        const char* value = std::getenv(std::string(COLOR_ENV).c_str());
        return color_enabled(value ? value : "");
      },
      "False when ZEPHAN2_COLOR_CORRECT is 0, false, no or off.");
}

}  // namespace halvane::zephan2::py
