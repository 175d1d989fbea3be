// Maps the C++ cores' typed errors to the Python exception kinds they stand
// for: register_errors() in every extension module's definition file, for
// the calls nanobind translates; set_cpp_error() where it does not (the
// asyncio bridge's coroutine steps, a live task's end).
#pragma once

#include <nanobind/nanobind.h>

#include <exception>

#include "common/errors.h"

namespace halvane::py {

// Sets the Python error for a typed error of the cores caught as `p`; false
// for any other error.
inline bool set_typed_error(const std::exception_ptr& p) {
  try {
    std::rethrow_exception(p);
  } catch (const halvane::ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const halvane::RuntimeError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const halvane::IndexError& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const halvane::ZeroDivisionError& e) {
    PyErr_SetString(PyExc_ZeroDivisionError, e.what());
  } catch (const halvane::OSError& e) {
    PyObject* args = e.filename.empty() ? Py_BuildValue("(is)", e.err, e.what())
                                        : Py_BuildValue("(iss)", e.err, e.what(), e.filename.c_str());
    if (args) {
      PyErr_SetObject(PyExc_OSError, args);
      Py_DECREF(args);
    }
  } catch (...) {
    return false;
  }
  return true;
}

// Sets the Python error for a C++ error caught as `p` where nanobind does
// not translate it (a coroutine's step, a task's end): a typed error of the
// cores as its kind, any other std::exception as RuntimeError with its text.
inline void set_cpp_error(const std::exception_ptr& p) {
  if (set_typed_error(p)) return;
  try {
    std::rethrow_exception(p);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
}

inline void register_errors() {
  // Other errors are rethrown, for nanobind's own translation.
  nanobind::register_exception_translator([](const std::exception_ptr& p, void*) {
    if (!set_typed_error(p)) std::rethrow_exception(p);
  });
}

}  // namespace halvane::py
