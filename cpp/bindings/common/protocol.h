// Python's protocols as the binding files of every extension module speak
// them from C++: truth, attributes that may be absent, raising (with Python's
// own chaining), tuple unpacking and iteration, text and buffers, and errors
// nobody may see (finalisers). Each does what the Python statement it names
// does, down to the error it raises, so a binding written with these behaves
// as the same code in Python would.
//
// The modules' own namespaces (halvane::avatar::py, halvane::open::py) bring
// these names in with using-declarations, so their files call them
// unqualified.
//
// Threading: every function here needs the GIL held and none releases it.
#pragma once

#include <nanobind/nanobind.h>

#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace halvane::py {

namespace nb = nanobind;

// A new reference a C API call returned, owned; its error raised when it
// returned NULL.
inline nb::object check(PyObject* r) {
  if (!r) throw nb::python_error();
  return nb::steal(r);
}

// bool(obj).
inline bool truthy(nb::handle obj) {
  const int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// isinstance(obj, cls).
inline bool is_instance(nb::handle obj, nb::handle cls) {
  const int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// getattr(o, name, dflt): the attribute, or `dflt` when it is absent (an
// AttributeError); other errors raised. An invalid `dflt` gives an invalid
// object for an absent attribute.
inline nb::object get_or(nb::handle o, nb::handle name, nb::handle dflt) {
  PyObject* v = PyObject_GetAttr(o.ptr(), name.ptr());
  if (v) return nb::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return nb::borrow(dflt);
}
inline nb::object get_or(nb::handle o, const char* name, nb::handle dflt) {
  PyObject* v = PyObject_GetAttrString(o.ptr(), name);
  if (v) return nb::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return nb::borrow(dflt);
}

// `raise type(message)` with one message text.
[[noreturn]] inline void raise_(nb::handle type, const std::string& message) {
  PyErr_SetObject(type.ptr(), nb::str(message.c_str(), message.size()).ptr());
  throw nb::python_error();
}

// `raise kind(message)`.
[[noreturn]] inline void raise_error(nb::handle kind, nb::handle message) {
  PyErr_SetObject(kind.ptr(), message.ptr());
  throw nb::python_error();
}

// `raise exc`: the exception instance raised, chained to the error that the
// caller is handling, if any.
[[noreturn]] inline void raise_error(nb::handle exc) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw nb::python_error();
}

// `raise exc from None` in the handler of `caught`: no cause, `caught` as the
// context that tracebacks do not show.
[[noreturn]] inline void raise_from_none(nb::handle exc, const nb::python_error& caught) {
  PyException_SetCause(exc.ptr(), nullptr);  // also sets __suppress_context__
  PyException_SetContext(exc.ptr(), caught.value().inc_ref().ptr());
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()))), exc.inc_ref().ptr(), nullptr);
  throw nb::python_error();
}

// float(obj) as a double, read through __float__ (or __index__) as
// PyFloat_AsDouble reads it; a str is refused.
inline double as_double(nb::handle obj) {
  const double v = PyFloat_AsDouble(obj.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return v;
}

// float(obj), a str parsed as float() parses it.
inline double float_of(nb::handle obj) { return PyFloat_AS_DOUBLE(check(PyNumber_Float(obj.ptr())).ptr()); }

// int(obj) as a C long.
inline long int_of(nb::handle obj) { return nb::cast<long>(check(PyNumber_Long(obj.ptr()))); }

// An error of the ordinary kind (Exception), not cancellation or exit.
inline bool ordinary(const nb::python_error& e) { return e.matches(PyExc_Exception); }

// `try: f() except Exception as err: handler(err)`: an error of the
// Exception family is handed to `handler` (others, such as KeyboardInterrupt
// or a cancellation, pass on). True when f() returned.
template <class F, class H>
bool handling(F&& f, H&& handler) {
  try {
    f();
    return true;
  } catch (nb::python_error& err) {
    if (!ordinary(err)) throw;
    handler(err);
    return false;
  }
}

// Runs f(); an error of the Exception family it raises is dropped.
template <class F>
void ignoring_exceptions(F&& f) {
  handling(std::forward<F>(f), [](const nb::python_error&) {});
}

// `try: return f() except Exception: return fallback` (cancellation and
// exit pass on).
template <class F, class T>
auto or_else(F&& f, T&& fallback) -> decltype(f()) {
  try {
    return f();
  } catch (nb::python_error& err) {
    if (!ordinary(err)) throw;
    return fallback;
  }
}

// The exception object of a failure caught as `err`, carrying the traceback
// it was raised with.
inline nb::object exception_of(const nb::python_error& err) {
  nb::object value = nb::borrow(err.value());
  nb::object had = nb::steal(PyException_GetTraceback(value.ptr()));
  nb::handle tb = err.traceback();
  if (!had.is_valid() && tb.is_valid() && !tb.is_none()) PyException_SetTraceback(value.ptr(), tb.ptr());
  return value;
}

// Runs f() where no error may escape (a finaliser): an error of f goes to
// sys.unraisablehook, and the error indicator is left as it was.
template <class F>
void run_unraisable(nb::handle context, F&& f) noexcept {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  try {
    f();
  } catch (nb::python_error& e) {
    e.discard_as_unraisable(context);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    PyErr_WriteUnraisable(context.ptr());
  }
  PyErr_Restore(t, v, tb);
}

// The class name of an object, as "%s" of type(obj).__name__ shows it.
inline nb::object type_name(nb::handle obj) {
  return nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__");
}

// The next item of the iterator `it`, or an invalid object when it has none.
inline nb::object next_item(nb::handle it) {
  PyObject* item = PyIter_Next(it.ptr());
  if (!item && PyErr_Occurred()) throw nb::python_error();
  return nb::steal(item);
}

// `a, b = obj` as Python unpacks it, with Python's own errors: TypeError for
// an object that cannot be iterated at all, ValueError for too few or too
// many items, and whatever iterating it raises.
inline std::pair<nb::object, nb::object> unpack_pair(nb::handle obj) {
  PyObject* it = PyObject_GetIter(obj.ptr());
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(obj.ptr())->tp_iter == nullptr &&
        !PySequence_Check(obj.ptr())) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj.ptr())->tp_name);
    }
    throw nb::python_error();
  }
  nb::object iter = nb::steal(it);
  nb::object a = next_item(iter);
  nb::object b = a.is_valid() ? next_item(iter) : nb::object();
  if (!b.is_valid()) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", a.is_valid() ? 1 : 0);
    throw nb::python_error();
  }
  if (next_item(iter).is_valid()) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw nb::python_error();
  }
  return {std::move(a), std::move(b)};
}

// `_, b = obj`: the second member.
inline nb::object second_of_pair(nb::handle obj) { return unpack_pair(obj).second; }

// head + str(tail).
inline nb::str concat(const char* head, nb::handle tail) {
  return nb::steal<nb::str>(check(PyUnicode_Concat(nb::str(head).ptr(), nb::str(tail).ptr())).release());
}

// str(obj) as UTF-8 and UTF-8 back as text, lone surrogates kept both ways,
// for texts that a C++ core puts together.
inline std::string utf8(nb::handle obj) {
  nb::str s(obj);
  nb::object b = check(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
  return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

inline nb::str text(std::string_view s) {
  PyObject* t = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
  return nb::steal<nb::str>(check(t).release());
}

// An object's buffer, asked for with `flags` and held while this lives.
class HeldBuffer {
 public:
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  const void* data() const { return view_.buf; }

 protected:
  HeldBuffer(nb::handle o, int flags) {
    if (PyObject_GetBuffer(o.ptr(), &view_, flags) != 0) throw nb::python_error();
  }
  ~HeldBuffer() { PyBuffer_Release(&view_); }

  Py_buffer view_{};
};

// The bytes of an object with the buffer protocol, C-contiguous.
class Buffer : public HeldBuffer {
 public:
  explicit Buffer(nb::handle o) : HeldBuffer(o, PyBUF_C_CONTIGUOUS) {}
  size_t size() const { return static_cast<size_t>(view_.len); }
};

// An array's elements where they lie, with its shape and byte strides (any
// layout, no copy).
class StridedView : public HeldBuffer {
 public:
  explicit StridedView(nb::handle o) : HeldBuffer(o, PyBUF_RECORDS_RO) {}
  std::span<const Py_ssize_t> shape() const { return {view_.shape, static_cast<size_t>(view_.ndim)}; }
  Py_ssize_t shape(int axis) const { return view_.shape[axis]; }
  Py_ssize_t stride(int axis) const { return view_.strides[axis]; }
};

}  // namespace halvane::py
