// halvane._picture: pictures fitted inside a frame of another size, for the
// engine runtime's composing and the composed tails of live sessions.
//
// fit(picture, width, height): `picture`, a height x width x 3 uint8 array
// (BGR), scaled with its aspect kept to the largest size inside width x
// height, centred, the margins in the per-channel median colour of the
// picture's outermost rows and columns (avatar/fit.h). The picture itself
// when it already has that size, else a new C-contiguous array. A picture of
// another shape or type raises ValueError, and so does a size below 1.
//
// Threading: any thread; the pixel work runs with the GIL released.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <string>

#include "avatar/fit.h"

namespace nb = nanobind;

namespace {

nb::object fit(nb::object picture, int64_t width, int64_t height) {
  if (width < 1 || height < 1)
    throw nb::value_error(("fit: the frame size must be 1 or more, not " + std::to_string(width) + "x" +
                           std::to_string(height)).c_str());
  nb::module_ np = nb::module_::import_("numpy");
  nb::object arr = np.attr("asarray")(picture);
  const std::string dtype = nb::cast<std::string>(nb::str(arr.attr("dtype")));
  const nb::tuple shape = nb::cast<nb::tuple>(arr.attr("shape"));
  if (dtype != "uint8" || shape.size() != 3 || nb::cast<int64_t>(shape[2]) != 3 || nb::cast<int64_t>(shape[0]) < 1 ||
      nb::cast<int64_t>(shape[1]) < 1)
    throw nb::value_error(("fit: a picture is height x width x 3 uint8, not " +
                           nb::cast<std::string>(nb::str(shape)) + " " + dtype).c_str());
  const int64_t h = nb::cast<int64_t>(shape[0]), w = nb::cast<int64_t>(shape[1]);
  if (w == width && h == height) return picture;

  nb::object src = np.attr("ascontiguousarray")(arr);
  nb::object out = np.attr("empty")(nb::make_tuple(height, width, 3), nb::arg("dtype") = "uint8");
  const uint8_t* from = nb::cast<nb::ndarray<const uint8_t, nb::c_contig, nb::device::cpu>>(src, false).data();
  uint8_t* to = nb::cast<nb::ndarray<uint8_t, nb::c_contig, nb::device::cpu>>(out, false).data();
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
  m.def("fit", &fit, "picture"_a, "width"_a, "height"_a);
}
