// What the producer task, the tick emission and the v2 tail drain share:
// the session's two events, NumPy arrays made and read from C++, and the
// members each of their files adds (the pair a runtime returns for a picture
// is unpacked by second_of_pair, bindings/common/protocol.h).
//
// Threading: event-loop thread, GIL held, except inside the scopes that
// release it around a sample loop.
#pragma once

#include <nanobind/ndarray.h>

#include <cstdint>

#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

// A new uninitialised 1-D NumPy array of `n` elements of `dtype`.
inline nb::object new_array(size_t n, const char* dtype) {
  return env().np.attr("empty")(nb::int_(static_cast<int64_t>(n)), dtype);
}
// numpy.ascontiguousarray(obj, dtype): obj itself when it already is one.
inline nb::object contiguous(nb::handle obj, const char* dtype) {
  return env().np.attr("ascontiguousarray")(obj, nb::arg("dtype") = dtype);
}
// arr[start:stop] (either end may be None).
inline nb::object slice_of(nb::handle arr, nb::handle start, nb::handle stop) {
  nb::object s = nb::steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
  if (!s.is_valid()) throw nb::python_error();
  return arr[s];
}

// Members added by the producer's files (add_producer calls the other two).
void add_tick_emission(Members& ns);  // _emit_ready_ticks
void add_v2_tail(Members& ns);        // _drain_v2_tail

}  // namespace halvane::avatar::py
