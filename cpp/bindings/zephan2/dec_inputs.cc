#include "zephan2/inference/dec_inputs.h"

#include <nanobind/stl/pair.h>

#include "bindings/common/numpy.h"
#include "bindings/zephan2/module.h"
#include "common/errors.h"
#include "zephan2/inference/constants.h"
#include "zephan2/messages.h"

namespace halvane::zephan2::py {

using halvane::py::Contig;
using halvane::py::share_array;
using halvane::py::to_contig;

namespace {

Contig<float> latent(nb::handle obj) {
  auto c = to_contig<float>(obj);
  if (c.size != static_cast<size_t>(LC * PLANE))
    throw halvane::ValueError(msg::cannot_reshape(c.size, LC, PLANE));
  return c;
}

}  // namespace

void bind_dec_inputs(nb::module_& m) {
  m.def(
      "build_dec_inputs",
      [](nb::handle lats, int64_t blk, nb::handle prev_lat) {
        std::vector<Contig<float>> held;
        const int64_t have = static_cast<int64_t>(nb::len(lats));
        for (int64_t j = 0; j < std::min(blk, have); ++j) held.push_back(latent(lats[j]));
        Contig<float> prev;
        if (!prev_lat.is_none()) prev = latent(prev_lat);
        std::vector<const float*> ptrs;
        for (auto& c : held) ptrs.push_back(c.data);
        DecInputs r;
        {
          nb::gil_scoped_release unlocked;
          r = build_dec_inputs(ptrs, blk, prev_lat.is_none() ? nullptr : prev.data);
        }
        nb::object xs = share_array<float>(
            r.xs, r.xs.get(),
            {static_cast<size_t>(r.n), static_cast<size_t>(DEC_CH), static_cast<size_t>(LH), static_cast<size_t>(LW)},
            false);
        return std::make_pair(xs, r.n);
      },
      nb::arg("lats"), nb::arg("blk"), nb::arg("prev_lat").none() = nb::none(),
      "Decoder input rows (n, 36, LH, LW) for one chunk's latents, and n.");
}

}  // namespace halvane::zephan2::py
