// halvane._picture: pictures fitted inside a frame of another size, for the
// engine runtime's composing and the composed tails of live sessions.
//
// fit(picture, width, height): `picture`, a height x width x 3 uint8 array
// (BGR), scaled with its aspect kept to the largest size inside width x
// height, centred, the margins in the per-channel median colour of the
// picture's outermost rows and columns (avatar/fit.h), as a new C-contiguous
// array (a picture of another layout is copied to one first). A picture of
// another shape or type raises TypeError, a size below 1 ValueError.
//
// MAX_SIDE: the largest side of a composed frame (avatar/settings.h).
//
// Threading: any thread; the pixel work runs with the GIL released.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstdint>

#include "avatar/fit.h"
#include "avatar/settings.h"
#include "bindings/common/errors.h"

namespace nb = nanobind;

namespace {

using Picture = nb::ndarray<const uint8_t, nb::shape<-1, -1, 3>, nb::c_contig, nb::device::cpu>;

nb::object fit(Picture pic, int64_t width, int64_t height) {
  const int64_t h = static_cast<int64_t>(pic.shape(0)), w = static_cast<int64_t>(pic.shape(1));
  halvane::avatar::check_fit_sizes(w, h, width, height);
  nb::object out = nb::module_::import_("numpy").attr("empty")(nb::make_tuple(height, width, 3),
                                                                nb::arg("dtype") = "uint8");
  uint8_t* to = nb::cast<nb::ndarray<uint8_t, nb::c_contig, nb::device::cpu>>(out, false).data();
  const uint8_t* from = pic.data();
  {
    nb::gil_scoped_release unlocked;
    const auto fill = halvane::avatar::border_median(from, w, h, w * 3);
    halvane::avatar::fit_picture(from, w, h, w * 3, to, width, height, fill);
  }
  return out;
}

}  // namespace

NB_MODULE(_picture, m) {
  using namespace nb::literals;
  halvane::py::register_errors();
  m.def("fit", &fit, "picture"_a, "width"_a, "height"_a);
  m.attr("MAX_SIDE") = halvane::avatar::kMaxFrameSide;
}
