// Maps the C++ cores' typed errors to the Python exception kinds they stand
// for. Included by every extension module's definition file.
#pragma once

#include <nanobind/nanobind.h>

#include "common/errors.h"

namespace halvane::py {

inline void register_errors() {
  nanobind::register_exception_translator([](const std::exception_ptr& p, void*) {
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
      PyObject* args = e.filename.empty()
                           ? Py_BuildValue("(is)", e.err, e.what())
                           : Py_BuildValue("(iss)", e.err, e.what(), e.filename.c_str());
      if (args) {
        PyErr_SetObject(PyExc_OSError, args);
        Py_DECREF(args);
      }
    }
  });
}

// Runs f() where no error may escape (a finaliser): an error of f goes to
// sys.unraisablehook, and the error indicator is left as it was.
template <class F>
void run_unraisable(nanobind::handle context, F&& f) noexcept {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  try {
    f();
  } catch (nanobind::python_error& e) {
    e.discard_as_unraisable(context);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    PyErr_WriteUnraisable(context.ptr());
  }
  PyErr_Restore(t, v, tb);
}

}  // namespace halvane::py
