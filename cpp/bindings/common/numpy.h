// NumPy at the array boundary: inputs become contiguous typed buffers (copied
// only when their layout or element type asks for it), outputs are arrays that
// share ownership of C++ storage, so views never outlive their memory.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <vector>

#include "common/tensor.h"

namespace halvane::py {

namespace nb = nanobind;

// The data of an array already C-contiguous of exactly element type T (no
// copy, no conversion: a copy would not outlive the call); T const to read.
template <class T>
T* data_of(nb::handle arr) {
  return nb::cast<nb::ndarray<T, nb::c_contig, nb::device::cpu>>(arr, false).data();
}
// arr.size.
inline int64_t size_of(nb::handle arr) { return nb::cast<int64_t>(arr.attr("size")); }

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
nb::object share_array(std::shared_ptr<const T[]> owner, const T* data, std::vector<size_t> shape, bool readonly) {
  auto* keep = new std::shared_ptr<const T[]>(std::move(owner));
  nb::capsule cap(keep, [](void* p) noexcept { delete static_cast<std::shared_ptr<const T[]>*>(p); });
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

// A Tensor over a NumPy array's memory, without a copy; the Tensor keeps a
// reference to the array (dropped under the GIL, from any thread). Arrays
// that are not C-contiguous are copied first (then `owns` is true).
inline Tensor tensor_from_numpy(nb::handle obj) {
  nb::object arr = numpy().attr("asarray")(obj);
  if (!nb::cast<bool>(arr.attr("flags").attr("c_contiguous")))
    arr = numpy().attr("ascontiguousarray")(arr);
  auto a = nb::cast<nb::ndarray<nb::ro, nb::c_contig, nb::device::cpu>>(arr);
  Tensor t;
  const auto dt = a.dtype();
  using C = nb::dlpack::dtype_code;
  const auto code = static_cast<C>(dt.code);
  if (code == C::Float && dt.bits == 32) t.dtype = DType::f32;
  else if (code == C::Float && dt.bits == 64) t.dtype = DType::f64;
  else if (code == C::Float && dt.bits == 16) t.dtype = DType::f16;
  else if (code == C::Int && dt.bits == 8) t.dtype = DType::i8;
  else if (code == C::UInt && dt.bits == 8) t.dtype = DType::u8;
  else if (code == C::Int && dt.bits == 16) t.dtype = DType::i16;
  else if (code == C::Int && dt.bits == 32) t.dtype = DType::i32;
  else if (code == C::Int && dt.bits == 64) t.dtype = DType::i64;
  else t.dtype = DType::other;
  for (size_t i = 0; i < a.ndim(); ++i) t.shape.push_back(static_cast<int64_t>(a.shape(i)));
  t.data = const_cast<void*>(a.data());
  t.writeable = nb::cast<bool>(arr.attr("flags").attr("writeable"));
  t.owns = nb::cast<bool>(arr.attr("flags").attr("owndata"));
  PyObject* ref = arr.release().ptr();
  t.owner = std::shared_ptr<void>(ref, [](void* p) {
    nb::gil_scoped_acquire gil;
    Py_DECREF(static_cast<PyObject*>(p));
  });
  return t;
}

inline const char* numpy_dtype(DType t) {
  switch (t) {
    case DType::f32: return "float32";
    case DType::f64: return "float64";
    case DType::f16: return "float16";
    case DType::i8: return "int8";
    case DType::u8: return "uint8";
    case DType::i16: return "int16";
    case DType::i32: return "int32";
    case DType::i64: return "int64";
    default: throw ValueError("array of an unsupported element type");
  }
}

// A NumPy array sharing the Tensor's storage (read-only when the Tensor is).
inline nb::object tensor_to_numpy(const Tensor& t) {
  auto* keep = new std::shared_ptr<void>(t.owner);
  nb::capsule cap(keep, [](void* p) noexcept { delete static_cast<std::shared_ptr<void>*>(p); });
  std::vector<size_t> shape(t.shape.begin(), t.shape.end());
  // Build a uint8 view of the bytes, then reinterpret it with the real dtype.
  std::vector<size_t> flat = {t.nbytes()};
  nb::object bytes = t.writeable
      ? nb::cast(nb::ndarray<nb::numpy, uint8_t>(t.data, 1, flat.data(), cap))
      : nb::cast(nb::ndarray<nb::numpy, const uint8_t>(t.data, 1, flat.data(), cap));
  nb::object shape_t = nb::cast(shape);
  return bytes.attr("view")(numpy_dtype(t.dtype)).attr("reshape")(shape_t);
}

}  // namespace halvane::py
