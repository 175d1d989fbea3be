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

}  // namespace halvane::py
