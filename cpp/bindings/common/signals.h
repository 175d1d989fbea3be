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
  // With the GIL. Python runs signal handlers on its main thread only; on any
  // other the check never takes the GIL, as it would find nothing.
  SignalCheck() : main_thread_(on_main_thread()) {}
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
    if (!main_thread_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kEvery) return false;
    last_ = now;
    nanobind::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    PyErr_Fetch(&type_, &value_, &tb_);
    raised_ = true;
    return true;
  }

  // With the GIL: raises the error a handler raised. Should the work have
  // stopped for another reason, the handlers are run now, and failing an
  // error of theirs the stop is reported as a SystemError, never as an
  // exception with no error set.
  [[noreturn]] void raise_pending() {
    if (!type_) {
      if (PyErr_CheckSignals() == 0) PyErr_SetString(PyExc_SystemError, "stopped with no signal pending");
      throw nanobind::python_error();
    }
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
    throw nanobind::python_error();
  }

 private:
  static bool on_main_thread() {
    namespace nb = nanobind;
    nb::object main = nb::module_::import_("threading").attr("main_thread")();
    return nb::cast<unsigned long>(main.attr("ident")) == PyThread_get_thread_ident();
  }

  static constexpr std::chrono::milliseconds kEvery{20};
  std::chrono::steady_clock::time_point last_{};
  bool main_thread_;
  bool raised_ = false;
  PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

}  // namespace halvane::py
