// First-frame retrieval: one picture before streaming starts, so a caller can
// learn the video size. Composed sessions answer with a black picture of
// their output size at once; native-size sessions poll the runtime for its
// resting picture and fall back to a black picture of the model's geometry,
// or to None, with a warning that says why.
//
// Threading: synchronous, on the caller's thread, which it blocks (sleeping
// between polls) for up to _FIRST_FRAME_WAIT_S seconds. The runtime is asked
// on that thread, not on the engine worker.
#include <optional>

#include "avatar/first_frame.h"
#include "avatar/model.h"
#include "bindings/avatar/messages.h"
#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

namespace {

nb::object black(nb::handle w, nb::handle h) {
  Env& e = env();
  return e.np.attr("zeros")(nb::make_tuple(h, w, 3), nb::arg("dtype") = e.np.attr("uint8"));
}

// The facts first_frame() (avatar/first_frame.h) asks for, read when asked
// and kept for the answer and its warning.
struct Probe {
  nb::handle self;
  nb::object fixture, size, wait_s, frame, w, h, why;

  bool model_loaded() {
    fixture = Session(self).fixture();
    return avatar::model_loaded(!fixture.is_none(), !Session(self).runtime().is_none());
  }
  bool output_size() {
    size = Session(self).output_size();
    return !size.is_none();
  }
  bool poll() {
    wait_s = const_o("_FIRST_FRAME_WAIT_S");
    frame = self.attr("_wait_source_frame")(wait_s);
    return !frame.is_none();
  }
  std::optional<Geometry> geometry() {
    const bool read = handling(
        [&] {
          w = py_int(fixture.attr("frame_width"));
          h = py_int(fixture.attr("frame_height"));
        },
        [&](const nb::python_error& e) { why = nb::borrow(e.value()); });
    if (!read) return std::nullopt;
    return Geometry{gt_zero(w), gt_zero(h)};
  }
};

nb::object get_first_frame(nb::handle self) {
  Probe p{self};
  switch (first_frame(p)) {
    case FirstFrame::no_model:
      warn(msg::kNoFrameNoModel);
      return nb::none();
    case FirstFrame::output_size: {
      nb::object w = py_int(p.size[nb::int_(0)]);
      nb::object h = py_int(p.size[nb::int_(1)]);
      return black(w, h);
    }
    case FirstFrame::polled:
      return p.frame;
    case FirstFrame::no_size:
      warn(msg::kNoFrameNoSize, py::type_name(p.why), p.why);
      return nb::none();
    case FirstFrame::geometry:
      warn(msg::kBlankGeometry, p.wait_s, p.w, p.h);
      return black(p.w, p.h);
    case FirstFrame::bad_size:
      warn(msg::kNoFrameBadSize, p.w, p.h);
      return nb::none();
  }
  return nb::none();
}

// The runtime's resting picture as poll_resting() (avatar/first_frame.h)
// polls for it; the last failure of a poll is kept for the warning.
struct RestingProbe {
  nb::handle self;
  nb::object sleeper = nb::module_::import_("time").attr("sleep");
  nb::object frame = nb::none(), why = nb::none();

  bool poll() {
    frame = nb::none();
    handling([&] { frame = Session(self).runtime().attr("get_source_frame")(0); },
             [&](const nb::python_error& e) { why = nb::borrow(e.value()); });
    return gt_zero(get_or(frame, "size", nb::int_(0)));  // None has no size either
  }
  double now() const { return py::now(); }
  void sleep() { sleeper(const_o("_FIRST_FRAME_POLL_S")); }
};

// Polls until a picture comes or the time is up; the last failure of a poll
// is reported when none came.
nb::object wait_source_frame(nb::handle self, nb::handle timeout_s) {
  const double timeout = as_double(timeout_s);
  const RestingPoll deadline(now(), timeout);
  RestingProbe probe{self};
  if (poll_resting(probe, deadline)) return probe.frame;
  if (!probe.why.is_none())
    warn(msg::kNoRestingFrame, timeout_s, py::type_name(probe.why), probe.why);
  return nb::none();
}

}  // namespace

void add_first_frame(Members& ns) {
  using namespace nb::literals;
  ns["get_first_frame"] = method(&get_first_frame, nb::sig("def get_first_frame(self) -> numpy.ndarray | None"),
                                 "A BGR picture of the stream's size before streaming starts, or None without one.");
  ns["_wait_source_frame"] = method(&wait_source_frame, "timeout_s"_a.none());
}

}  // namespace halvane::avatar::py
