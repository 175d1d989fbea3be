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

// The arguments of _emit_ready_ticks, and the call itself, looked up on the
// instance (a subclass may replace it).
struct EmitArgs {
  nb::object rt, pcm_buf;
  int64_t spt = 0;
  nb::object out_size = nb::none();
  int64_t ticks_emitted = 0;
  nb::object message_id = nb::none();
  bool eos_padding = false;
  nb::object tail_total = nb::none();  // None or int
  bool mark_last = true;
  nb::object fit_size = nb::none();    // None, or (width, height) for pulled pictures
};
inline aio::py::Await emit_ticks(nb::handle self, const EmitArgs& a) {
  return call(self, "_emit_ready_ticks", nb::arg("rt") = a.rt, nb::arg("pcm_buf") = a.pcm_buf,
              nb::arg("spt") = a.spt, nb::arg("out_size") = a.out_size, nb::arg("ticks_emitted") = a.ticks_emitted,
              nb::arg("message_id") = a.message_id, nb::arg("eos_padding") = a.eos_padding,
              nb::arg("tail_total") = a.tail_total, nb::arg("mark_last") = a.mark_last,
              nb::arg("fit_size") = a.fit_size);
}

// Members added by the producer's files (add_producer calls the other two).
void add_tick_emission(Members& ns);  // _emit_ready_ticks
void add_v2_tail(Members& ns);        // _drain_v2_tail

}  // namespace halvane::avatar::py
