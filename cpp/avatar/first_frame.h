// What get_first_frame() answers, without I/O: a black picture of the output
// size, the runtime's resting picture, a black picture of the model's own
// geometry, or nothing, and which warning explains a fallback; and the
// polling for a resting picture (at least one poll, the deadline tested only
// after a poll).
//
// Plain values; the caller reads the session, polls the runtime and reads
// the model's geometry when asked. No Python here. Not thread-safe: one call
// at a time, on the caller's thread.
#pragma once

#include <optional>

namespace halvane::avatar {

// What the model says of its own frame size: whether each side is positive.
struct Geometry {
  bool width_positive = false;
  bool height_positive = false;
};

enum class FirstFrame {
  no_model,     // None, warning that no model is loaded
  output_size,  // a black picture of the output size, at once and silently
  polled,       // the resting picture the runtime gave
  no_size,      // None, warning that the model cannot say its size (the read failed)
  geometry,     // a black picture of the model's size, warning that no resting picture came
  bad_size,     // None, warning that the model reports a size that is not positive
};

// The answer, asking `probe` lazily and in this order: model_loaded(),
// output_size() (whether the session has a fixed output size), poll()
// (whether a resting picture came within the wait) and geometry() (nullopt
// when the model's size could not be read).
template <class Probe>
FirstFrame first_frame(Probe& probe) {
  if (!probe.model_loaded()) return FirstFrame::no_model;
  if (probe.output_size()) return FirstFrame::output_size;
  if (probe.poll()) return FirstFrame::polled;
  const std::optional<Geometry> g = probe.geometry();
  if (!g) return FirstFrame::no_size;
  return g->width_positive && g->height_positive ? FirstFrame::geometry : FirstFrame::bad_size;
}

// The polling for a resting picture: a timeout that is not positive (or not
// a number) polls once.
class RestingPoll {
 public:
  RestingPoll(double now, double timeout_s) : deadline_(now + (timeout_s > 0.0 ? timeout_s : 0.0)) {}
  // After a poll that brought no picture: whether to sleep and poll again.
  bool again(double now) const { return !(now >= deadline_); }

 private:
  double deadline_;
};

// Polls for a resting picture until one comes or the time is up, asking
// `probe` poll() (whether the picture came), now() after each poll that
// brought none, and sleep() between polls. True when a picture came.
template <class Probe>
bool poll_resting(Probe& probe, const RestingPoll& deadline) {
  for (;;) {
    if (probe.poll()) return true;
    if (!deadline.again(probe.now())) return false;
    probe.sleep();
  }
}

}  // namespace halvane::avatar
