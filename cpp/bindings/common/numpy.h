// NumPy at the array boundary: inputs become contiguous typed buffers (copied
// only when their layout or element type asks for it), outputs are arrays that
// share ownership of C++ storage, so views never outlive their memory.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <memory>
#include <vector>

namespace halvane::py {

namespace nb = nanobind;

template <class T>
struct Contig {
  nb::object keep;  // the array the pointer points into
  const T* data = nullptr;
  size_t size = 0;
  std::vector<size_t> shape;
};

template <class T>
const char* dtype_name();
template <>
inline const char* dtype_name<float>() { return "float32"; }
template <>
inline const char* dtype_name<double>() { return "float64"; }
template <>
inline const char* dtype_name<uint8_t>() { return "uint8"; }

inline nb::module_ numpy() { return nb::module_::import_("numpy"); }

// numpy.ascontiguousarray(obj, dtype=T), read through its buffer.
template <class T>
Contig<T> to_contig(nb::handle obj) {
  Contig<T> c;
  c.keep = numpy().attr("ascontiguousarray")(obj, nb::arg("dtype") = dtype_name<T>());
  auto a = nb::cast<nb::ndarray<const T, nb::c_contig, nb::device::cpu>>(c.keep);
  c.data = a.data();
  c.size = a.size();
  for (size_t i = 0; i < a.ndim(); ++i) c.shape.push_back(a.shape(i));
  return c;
}

// A NumPy array over shared-owned storage. `readonly` arrays cannot be
// written through from Python.
template <class T>
nb::object share_array(std::shared_ptr<T[]> owner, const T* data, std::vector<size_t> shape, bool readonly) {
  auto* keep = new std::shared_ptr<T[]>(std::move(owner));
  nb::capsule cap(keep, [](void* p) noexcept { delete static_cast<std::shared_ptr<T[]>*>(p); });
  if (readonly)
    return nb::cast(nb::ndarray<nb::numpy, const T>(data, shape.size(), shape.data(), cap));
  return nb::cast(nb::ndarray<nb::numpy, T>(const_cast<T*>(data), shape.size(), shape.data(), cap));
}

// An integer object (anything with __index__, bool included) in the signed
// 64-bit range; false for anything else, with no Python error left set.
inline bool int64_from(nb::handle obj, int64_t& out) {
  PyObject* idx = PyNumber_Index(obj.ptr());
  if (!idx) {
    PyErr_Clear();
    return false;
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(idx, &overflow);
  Py_DECREF(idx);
  if (overflow || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  out = v;
  return true;
}

}  // namespace halvane::py
