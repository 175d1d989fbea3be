#include "zephan2/inference/sliding_pcm.h"

#include <nanobind/stl/string.h>

#include "bindings/common/numpy.h"
#include "bindings/zephan2/module.h"
#include "common/errors.h"
#include "zephan2/messages.h"

namespace halvane::zephan2::py {

using halvane::py::int64_from;
using halvane::py::share_array;

namespace {

// The byte range a NumPy array spans (any strides), for the overlap test.
bool span_of(nb::handle obj, const void*& lo, size_t& bytes) {
  nb::ndarray<nb::ro, nb::device::cpu> a;
  if (!nb::try_cast(obj, a, false)) return false;
  if (a.size() == 0) return false;
  const char* p = static_cast<const char*>(a.data());
  int64_t first = 0, last = 0;
  const int64_t item = a.itemsize();
  for (size_t i = 0; i < a.ndim(); ++i) {
    const int64_t span = (static_cast<int64_t>(a.shape(i)) - 1) * a.stride(i) * item;
    (span < 0 ? first : last) += span;
  }
  lo = p + first;
  bytes = static_cast<size_t>(last - first + item);
  return true;
}

void append(SlidingPCM& pcm, nb::handle block) {
  PcmBlock b = pcm_block(block, pcm);
  nb::gil_scoped_release unlocked;
  pcm.append(b.samples.data, static_cast<int64_t>(b.samples.size), b.overlaps);
}

}  // namespace

PcmBlock pcm_block(nb::handle block, const SlidingPCM& pcm) {
  PcmBlock b;
  nb::object arr = halvane::py::numpy().attr("asarray")(block);
  if (nb::cast<size_t>(arr.attr("size")) == 0) return b;
  if (nb::cast<size_t>(arr.attr("ndim")) != 1) throw halvane::ValueError(msg::kOneDimensionalPcm);
  const void* lo = nullptr;
  size_t bytes = 0;
  b.overlaps = span_of(arr, lo, bytes) && pcm.overlaps(lo, bytes);
  b.samples = halvane::py::to_contig<float>(arr);
  return b;
}

void bind_sliding_pcm(nb::module_& m) {
  nb::class_<SlidingPCM>(m, "_SlidingPCM")
      .def(
          "__init__",
          [](SlidingPCM* self, nb::handle cap) {
            int64_t c = 0;
            // A value that is no 64-bit int is refused here, one below 1 by the constructor.
            if (!int64_from(cap, c)) throw halvane::ValueError(msg::kPositiveCapacity);
            new (self) SlidingPCM(c);
          },
          nb::arg("minimum_capacity").none() = SlidingPCM::kDefaultMinimumCapacity)
      .def("append", &append, nb::arg("pcm"))
      .def(
          "discard_before",
          [](SlidingPCM& pcm, nb::handle abs) {
            int64_t v = 0;
            if (!int64_from(abs, v)) {
              // A huge Python int beyond the 64-bit range drops everything.
              PyObject* idx = PyNumber_Index(abs.ptr());
              if (!idx) {
                PyErr_Clear();
                throw halvane::ValueError(msg::kNonnegativeOffset);
              }
              const bool negative = PyObject_RichCompareBool(idx, nb::int_(0).ptr(), Py_LT) == 1;
              Py_DECREF(idx);
              if (negative) throw halvane::ValueError(msg::kNonnegativeOffset);
              v = INT64_MAX;
            }
            pcm.discard_before(v);
          },
          nb::arg("absolute_sample").none())
      .def_prop_ro("live",
                   [](const SlidingPCM& pcm) {
                     FloatView v = pcm.live();
                     return share_array<float>(v.owner, v.data, {static_cast<size_t>(v.size)}, true);
                   })
      .def_prop_ro("storage",
                   [](const SlidingPCM& pcm) {
                     FloatView v = pcm.storage();
                     return share_array<float>(v.owner, v.data, {static_cast<size_t>(v.size)}, true);
                   })
      .def("counters",
           [](const SlidingPCM& pcm) {
             nb::dict d;
             for (auto& [k, v] : pcm.counters()) d[nb::str(k.data(), k.size())] = v;
             return d;
           })
      .def("_allocate",
           [](SlidingPCM& pcm, int64_t capacity) {
             if (capacity < pcm.end() - pcm.start()) throw halvane::ValueError(msg::kCapacityBelowLive);
             pcm.allocate(capacity);
           })
      .def_prop_ro("minimum_capacity", &SlidingPCM::minimum_capacity)
      .def_prop_ro("start", &SlidingPCM::start)
      .def_prop_ro("end", &SlidingPCM::end)
      .def_prop_ro("base", &SlidingPCM::base)
      .def_prop_ro("fed", &SlidingPCM::fed)
      .def_prop_ro("appended_samples", &SlidingPCM::appended_samples)
      .def_prop_ro("moved_samples", &SlidingPCM::moved_samples)
      .def_prop_ro("allocations", &SlidingPCM::allocations)
      .def_prop_ro("aliased_samples_snapshotted", &SlidingPCM::aliased_samples_snapshotted)
      .def_prop_ro("peak_capacity", &SlidingPCM::peak_capacity);
}

}  // namespace halvane::zephan2::py
