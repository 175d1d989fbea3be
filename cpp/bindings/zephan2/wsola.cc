#include "zephan2/inference/wsola.h"

#include "bindings/common/numpy.h"
#include "bindings/zephan2/module.h"
#include "common/errors.h"
#include "zephan2/messages.h"

namespace halvane::zephan2::py {

using halvane::py::numpy;
using halvane::py::share_array;
using halvane::py::to_contig;

namespace {

template <class F, class In>
nb::object map_elements(nb::handle x, F f) {
  auto c = to_contig<In>(x);
  std::shared_ptr<float[]> out = std::make_shared_for_overwrite<float[]>(std::max<size_t>(c.size, 1));
  {
    nb::gil_scoped_release unlocked;
    for (size_t i = 0; i < c.size; ++i) out[i] = f(c.data[i]);
  }
  return share_array<float>(out, out.get(), c.shape, false);
}

template <class T>
nb::object run_wsola(nb::handle x, double factor) {
  auto c = to_contig<T>(x);
  std::vector<float> out;
  {
    nb::gil_scoped_release unlocked;
    out = tempo_wsola<T>(c.data, static_cast<int64_t>(c.size), factor);
  }
  auto owner = std::make_shared_for_overwrite<float[]>(std::max<size_t>(out.size(), 1));
  std::copy(out.begin(), out.end(), owner.get());
  return share_array<float>(owner, owner.get(), {out.size()}, false);
}

}  // namespace

void bind_wsola(nb::module_& m) {
  m.def(
      "_wsola_to_buf", [](nb::handle d) { return map_elements<float (*)(double), double>(d, &wsola_to_buf); },
      nb::arg("d"), "Samples -> float32 fixed-point view (integers on a 2^24 scale).");
  m.def(
      "_wsola_from_buf", [](nb::handle v) { return map_elements<float (*)(float), float>(v, &wsola_from_buf); },
      nb::arg("v"), "Fixed-point view -> float32 samples.");
  m.def(
      "tempo_wsola",
      [](nb::handle x, double factor) {
        nb::object arr = numpy().attr("asarray")(x);
        if (nb::cast<size_t>(arr.attr("ndim")) != 1)
          throw halvane::ValueError(msg::kWsolaOneDimensional);
        if (nb::cast<bool>(arr.attr("dtype").attr("__eq__")(nb::str("float32")))) return run_wsola<float>(arr, factor);
        return run_wsola<double>(arr, factor);
      },
      nb::arg("x"), nb::arg("factor") = 1.25, "Time-compress audio by `factor` without changing its pitch.");
}

}  // namespace halvane::zephan2::py
