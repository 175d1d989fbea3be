// Python's signal handlers for C++ work that runs with the GIL released: a
// stop check (common/fs.h) that runs the handlers of signals that came, so a
// Ctrl-C ends a long unpack or a wait within a moment instead of once it is
// done.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>

namespace halvane::py {

class SignalCheck {
 public:
  SignalCheck() = default;
  SignalCheck(const SignalCheck&) = delete;
  SignalCheck& operator=(const SignalCheck&) = delete;
  ~SignalCheck() {
    if (!type_ && !value_ && !tb_) return;
    nanobind::gil_scoped_acquire gil;
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
  }

  // Called without the GIL, as often as the work likes: at most once per
  // kEvery it takes the GIL for a moment and runs the pending handlers
  // (Python runs them on its main thread only). True once a handler raised:
  // the work stops, and the handler's error waits for raise_pending().
  bool operator()() {
    if (raised_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kEvery) return false;
    last_ = now;
    nanobind::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    PyErr_Fetch(&type_, &value_, &tb_);
    raised_ = true;
    return true;
  }

  // With the GIL: raises the error a handler raised.
  [[noreturn]] void raise_pending() {
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
    throw nanobind::python_error();
  }

 private:
  static constexpr std::chrono::milliseconds kEvery{20};
  std::chrono::steady_clock::time_point last_{};
  bool raised_ = false;
  PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

}  // namespace halvane::py
