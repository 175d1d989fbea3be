// A dense, row-major n-dimensional array whose storage is shared-owned.
//
// Slices along the first axis and reshapes are views that keep the storage
// alive (the owner may be a C++ buffer or, through the binding layer, a NumPy
// array). `owns` and `writeable` describe the storage the way NumPy does: a
// view of another array's memory does not own it.
//
// Thread contract: a Tensor is a value; sharing one between threads is safe
// for reading. Writers must hold disjoint ranges.
#pragma once

#include <cstdint>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "common/errors.h"

namespace halvane {

enum class DType : uint8_t { f32, f64, f16, i8, u8, i16, i32, i64, other };

inline size_t dtype_size(DType t) {
  switch (t) {
    case DType::f32: case DType::i32: return 4;
    case DType::f64: case DType::i64: return 8;
    case DType::f16: case DType::i16: return 2;
    case DType::i8: case DType::u8: return 1;
    default: return 0;
  }
}

struct Tensor {
  std::shared_ptr<void> owner;  // keeps `data` alive
  void* data = nullptr;
  DType dtype = DType::f32;
  std::vector<int64_t> shape;
  bool writeable = true;
  bool owns = true;

  int64_t size() const {
    return std::accumulate(shape.begin(), shape.end(), int64_t{1}, std::multiplies<>());
  }
  size_t nbytes() const { return static_cast<size_t>(size()) * dtype_size(dtype); }
  float* f32() const { return static_cast<float*>(data); }

  // Row i along the first axis: a view sharing the storage.
  Tensor row(int64_t i) const {
    Tensor t = *this;
    t.shape.erase(t.shape.begin());
    t.data = static_cast<char*>(data) + static_cast<size_t>(i) * t.nbytes();
    t.owns = false;
    return t;
  }

  // The same storage read with another shape of the same element count.
  Tensor reshaped(std::vector<int64_t> s) const {
    Tensor t = *this;
    t.shape = std::move(s);
    if (t.size() != size()) throw ValueError(reshape_error(size(), t.shape));
    return t;
  }

  static std::string shape_text(const std::vector<int64_t>& s) {
    std::string r = "(";
    for (size_t i = 0; i < s.size(); ++i) r += (i ? ", " : "") + std::to_string(s[i]);
    return r + (s.size() == 1 ? ",)" : ")");
  }
  static std::string reshape_error(int64_t size, const std::vector<int64_t>& s) {
    return "cannot reshape array of size " + std::to_string(size) + " into shape " + shape_text(s);
  }
};

// A new float32 array of the given shape; zero-filled when asked.
inline Tensor make_f32(std::vector<int64_t> shape, bool zero = false) {
  Tensor t;
  t.shape = std::move(shape);
  const size_t n = static_cast<size_t>(std::max<int64_t>(t.size(), 1));
  std::shared_ptr<float[]> buf = zero ? std::make_shared<float[]>(n) : std::make_shared_for_overwrite<float[]>(n);
  t.data = buf.get();
  t.owner = std::move(buf);
  return t;
}

}  // namespace halvane
