// First-frame retrieval: one picture before streaming starts, so a caller can
// learn the video size. Composed sessions answer with a black picture of
// their output size at once; native-size sessions poll the runtime for its
// resting picture and fall back to a black picture of the model's geometry,
// or to None, with a warning that says why.
//
// Threading: synchronous, on the caller's thread, which it blocks (sleeping
// between polls) for up to _FIRST_FRAME_WAIT_S seconds. The runtime is asked
// on that thread, not on the engine worker.
#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

namespace {

nb::object item(nb::handle seq, int i) {
  PyObject* r = PyObject_GetItem(seq.ptr(), nb::int_(i).ptr());
  if (!r) throw nb::python_error();
  return nb::steal(r);
}
nb::object black(nb::handle w, nb::handle h) {
  Env& e = env();
  return e.np.attr("zeros")(nb::make_tuple(h, w, 3), nb::arg("dtype") = e.np.attr("uint8"));
}

nb::object get_first_frame(nb::handle self) {
  nb::object fixture = Session(self).fixture();
  if (fixture.is_none() || Session(self).runtime().is_none()) {
    warn("halvane: no first frame \u2014 no model is loaded (await AsyncAvatar.create(model_path=...))");
    return nb::none();
  }
  nb::object size = Session(self).output_size();
  if (!size.is_none()) {
    nb::object w = py_int(item(size, 0)), h = py_int(item(size, 1));
    return black(w, h);
  }
  nb::object wait_s = const_o("_FIRST_FRAME_WAIT_S");
  nb::object frame = self.attr("_wait_source_frame")(wait_s);
  if (!frame.is_none()) return frame;
  nb::object w, h;
  try {
    w = py_int(fixture.attr("frame_width"));
    h = py_int(fixture.attr("frame_height"));
  } catch (nb::python_error& e) {
    if (!ordinary(e)) throw;
    warn("halvane: no first frame \u2014 this model cannot say how big a frame is (%s: %s)", py::type_name(e.value()),
         e.value());
    return nb::none();
  }
  if (gt_zero(w) && gt_zero(h)) {
    warn("halvane: the engine produced no resting frame in %.1fs; reporting this model's own %dx%d geometry with a "
         "blank frame so the session can still start",
         wait_s, w, h);
    return black(w, h);
  }
  warn("halvane: no first frame \u2014 this model reports a %dx%d frame size", w, h);
  return nb::none();
}

// Polls the runtime's resting picture until one comes or the time is up; at
// least one poll, and the deadline is tested only after a poll.
nb::object wait_source_frame(nb::handle self, nb::handle timeout_s) {
  double timeout = PyFloat_AsDouble(timeout_s.ptr());
  if (timeout == -1.0 && PyErr_Occurred()) throw nb::python_error();
  if (!(timeout > 0.0)) timeout = 0.0;  // negative or not a number
  const double deadline = now() + timeout;
  nb::object sleep = nb::module_::import_("time").attr("sleep");
  nb::object why = nb::none();
  nb::object zero = nb::int_(0);
  for (;;) {
    nb::object frame = nb::none();
    try {
      frame = Session(self).runtime().attr("get_source_frame")(0);
    } catch (nb::python_error& e) {
      if (!ordinary(e)) throw;
      why = nb::borrow(e.value());
    }
    if (!frame.is_none() && gt_zero(get_or(frame, "size", zero))) return frame;
    if (now() >= deadline) break;
    sleep(const_o("_FIRST_FRAME_POLL_S"));
  }
  if (!why.is_none())
    warn("halvane: the engine had no resting frame after %.1fs (%s: %s)", timeout_s, py::type_name(why), why);
  return nb::none();
}

}  // namespace

void add_first_frame(Members& ns) {
  using namespace nb::literals;
  ns["get_first_frame"] = method(&get_first_frame);
  ns["_wait_source_frame"] = method(&wait_source_frame, "timeout_s"_a.none());
}

}  // namespace halvane::avatar::py
