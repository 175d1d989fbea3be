#include "zephan2/inference/rgb888.h"

#include <exception>
#include <vector>

#include "bindings/common/numpy.h"
#include "bindings/zephan2/module.h"
#include "common/errors.h"
#include "zephan2/host/settings.h"
#include "zephan2/inference/constants.h"
#include "zephan2/messages.h"

namespace halvane::zephan2::py {

using halvane::Tensor;
using halvane::py::numpy;
using halvane::py::share_array;
using halvane::py::tensor_from_numpy;
using halvane::py::tensor_to_numpy;

namespace {

// The frames of one call as Tensors over the caller's memory. A writeable
// float32 frame that is not contiguous is converted in a contiguous copy and
// copied back afterwards, so the caller still sees its frame scaled.
struct Frames {
  std::vector<Tensor> t;
  std::vector<std::pair<nb::object, size_t>> copy_back;

  void restore() {
    for (auto& [orig, i] : copy_back) numpy().attr("copyto")(orig, tensor_to_numpy(t[i]));
  }
};

// Native float32 and float64 frames are read as they are; every other element
// type is converted to float64 first.
nb::object float_frame(nb::handle f) {
  nb::object arr = numpy().attr("asarray")(f);
  nb::object dt = arr.attr("dtype");
  const bool native_float = nb::cast<std::string>(dt.attr("kind")) == "f" && nb::cast<bool>(dt.attr("isnative")) &&
                            (nb::cast<int>(dt.attr("itemsize")) == 4 || nb::cast<int>(dt.attr("itemsize")) == 8);
  return native_float ? arr : arr.attr("astype")("float64");
}

void add_frame(Frames& fr, nb::handle f) {
  nb::object arr = float_frame(f);
  nb::object flags = arr.attr("flags");
  const bool scaled_in_place = nb::cast<std::string>(arr.attr("dtype").attr("name")) == "float32" &&
                               nb::cast<bool>(flags.attr("writeable"));
  const bool copied = !nb::cast<bool>(flags.attr("c_contiguous"));
  fr.t.push_back(tensor_from_numpy(arr));
  if (scaled_in_place && copied && fr.t.back().shape == std::vector<int64_t>{3, FH, FW})
    fr.copy_back.emplace_back(arr, fr.t.size() - 1);
}

nb::object item(nb::handle seq, size_t i) {
  nb::object r = nb::steal(PySequence_GetItem(seq.ptr(), static_cast<Py_ssize_t>(i)));
  if (!r.is_valid()) throw nb::python_error();
  return r;
}

// threads as int(threads), clamped to the 64-bit range.
int64_t thread_count(nb::handle threads) {
  nb::object v = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type))(threads);
  int64_t n = 0;
  if (halvane::py::int64_from(v, n)) return n;
  return PyObject_RichCompareBool(v.ptr(), nb::int_(0).ptr(), Py_GT) == 1 ? INT64_MAX : INT64_MIN;
}

// Runs `work` without the GIL, then copies back any converted frames, also
// when the work failed (frames already scaled stay scaled).
template <class F>
void run_unlocked(Frames& fr, F&& work) {
  std::exception_ptr err;
  {
    nb::gil_scoped_release unlocked;
    try {
      work();
    } catch (...) {
      err = std::current_exception();
    }
  }
  fr.restore();
  if (err) std::rethrow_exception(err);
}

}  // namespace

void bind_rgb888(nb::module_& m) {
  m.def(
      "px_to_rgb888",
      [](nb::handle px_chw, const ColorCorrect* cc) {
        Tensor t = tensor_from_numpy(float_frame(px_chw));
        nb::bytes out(nullptr, static_cast<size_t>(FRAME_BYTES));
        auto* dst = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.ptr()));
        {
          nb::gil_scoped_release unlocked;
          px_to_rgb888(t, cc, dst);
        }
        return out;
      },
      nb::arg("px_chw"), nb::arg("cc").none() = nb::none(),
      "Planar (3, 720, 416) frame in 0..1 -> RGB888 bytes, colour-corrected; the frame is left as it is.");
  m.def(
      "px_to_rgb888_chunk",
      [](nb::handle px, const ColorCorrect* cc, nb::handle threads) {
        const int64_t nt = thread_count(threads);
        const size_t n = nb::len(px);
        Frames fr;
        fr.t.reserve(n);
        for (size_t i = 0; i < n; ++i) add_frame(fr, item(px, i));
        std::shared_ptr<uint8_t[]> out;
        run_unlocked(fr, [&] { out = px_to_rgb888_chunk(fr.t, cc, nt, &host_rgb_pool); });
        return share_array<uint8_t>(out, out.get(), {n, size_t(FH), size_t(FW), 3}, false);
      },
      nb::arg("px"), nb::arg("cc").none() = nb::none(), nb::arg("threads") = 1,
      "Frames -> uint8 (n, 720, 416, 3) on up to `threads` pool workers. Writeable float32 frames are "
      "scaled to 0..255 in place.");
  m.def(
      "_rgb_convert_range",
      [](nb::handle px, nb::handle u8, int64_t lo, int64_t hi, const ColorCorrect* cc) {
        nb::ndarray<uint8_t, nb::c_contig, nb::device::cpu> out;
        if (!nb::try_cast(u8, out, false) || out.ndim() != 4 || out.shape(1) != size_t(FH) ||
            out.shape(2) != size_t(FW) || out.shape(3) != 3)
          throw halvane::ValueError(msg::kU8Array);
        if (lo >= hi) return;
        if (lo < 0 || hi > static_cast<int64_t>(nb::len(px))) throw halvane::IndexError(msg::kFrameIndexRange);
        if (hi > static_cast<int64_t>(out.shape(0))) throw halvane::IndexError(msg::kU8TooFewRows);
        Frames fr;
        fr.t.resize(static_cast<size_t>(lo));
        for (int64_t i = lo; i < hi; ++i) add_frame(fr, item(px, static_cast<size_t>(i)));
        uint8_t* dst = out.data();
        run_unlocked(fr, [&] { rgb_convert_range(fr.t, dst, lo, hi, cc); });
      },
      nb::arg("px"), nb::arg("u8"), nb::arg("lo"), nb::arg("hi"), nb::arg("cc").none());
  m.def("rgb_threads", &host_rgb_threads,
        "RGB conversion threads: ZEPHAN2_RGB_THREADS, else a third of the CPUs (1..8).");
  m.def("_rgb_pool_size", &host_rgb_pool_size, "Workers of the RGB pool; 0 before its first parallel chunk.");
}

}  // namespace halvane::zephan2::py
