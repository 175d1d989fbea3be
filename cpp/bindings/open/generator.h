// Python generators whose body is C++, and collector support for bound
// classes that hold Python objects.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <utility>

#include "bindings/open/outside.h"
#include "bindings/open/turns.h"

namespace halvane::open::py {

namespace nb = nanobind;

// tp_traverse / tp_clear for a bound class T whose nb::object members
// T::visit(f) lists; tp_clear calls T::clear() when T has one.
template <class T>
int traverse_members(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  int rc = 0;
  nb::inst_ptr<T>(self)->visit([&](nb::object& o) {
    if (!rc && o.is_valid()) rc = visit(o.ptr(), arg);
  });
  return rc;
}

template <class T>
int clear_members(PyObject* self) {
  if (!nb::inst_ready(self)) return 0;
  T* p = nb::inst_ptr<T>(self);
  if constexpr (requires { p->clear(); }) {
    p->clear();
  } else {
    p->visit([](nb::object& o) { o.reset(); });
  }
  return 0;
}

template <class T>
PyType_Slot* gc_slots() {
  static PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&traverse_members<T>)},
                                {Py_tp_clear, reinterpret_cast<void*>(&clear_members<T>)},
                                {0, nullptr}};
  return slots;
}

// The error that generator.throw(typ[, val[, tb]]) raises where the
// generator is suspended, read from the arguments as Python reads them.
inline nb::python_error thrown_error(nb::handle typ, nb::handle val, nb::handle tb) {
  if (!tb.is_none() && !PyTraceBack_Check(tb.ptr()))
    throw nb::type_error("throw() third argument must be a traceback object");
  if (PyExceptionInstance_Check(typ.ptr())) {
    if (!val.is_none()) throw nb::type_error("instance exception may not have a separate value");
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(typ.ptr()))), typ.inc_ref().ptr(), nullptr);
  } else if (PyExceptionClass_Check(typ.ptr())) {
    PyErr_Restore(typ.inc_ref().ptr(), val.is_none() ? nullptr : val.inc_ref().ptr(), nullptr);
  } else {
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ.ptr())->tp_name);
    throw nb::python_error();
  }
  nb::python_error e;  // normalised: an instance of the class
  if (!tb.is_none()) PyException_SetTraceback(e.value().ptr(), tb.ptr());
  return e;
}

// A generator object whose body is C++. The body offers
//   nb::object next()         its next item, or an invalid object when it is over;
//                             it raises by throwing;
//   void thrown(python_error&) (optional) an error raised where the body is
//                             suspended, by throw() or close(); it ends the
//                             body by throwing that error or what it becomes;
//                             without it the error passes as it is;
//   void visit(f)             f(member) for each of its nb::object members.
// The body runs only when an item is asked for. Once it has ended or raised,
// the generator is finished and lets go of the body's objects. A generator
// left suspended is closed when it is reclaimed, as Python closes its own.
template <class Body>
class Generator {
 public:
  explicit Generator(Body body) : body_(std::move(body)) {}
  Generator(Generator&&) noexcept = default;

  // The last reference dropped (the collector finalises through finalize()).
  ~Generator() {
    if (state_ == State::suspended && !interpreter_exiting()) run_unraisable(nb::handle(), [this] { close(); });
    if (interpreter_exiting()) finish();
  }

  // next(g): the body's next item; StopIteration once it is over.
  nb::object next() {
    if (state_ == State::running) throw nb::value_error("generator already executing");
    if (state_ == State::finished) raise_stop();
    state_ = State::running;
    nb::object item;
    try {
      item = body_.next();
    } catch (...) {
      finish();
      throw;
    }
    if (!item.is_valid()) {
      finish();
      raise_stop();
    }
    state_ = State::suspended;
    return item;
  }

  // g.send(value): as next(g); the value is not used.
  nb::object send(nb::handle value) {
    if (state_ == State::created && !value.is_none())
      throw nb::type_error("can't send non-None value to a just-started generator");
    return next();
  }

  // g.throw(...): `e` raised where the body is suspended; before the first
  // step and after the last it is raised as it is.
  [[noreturn]] void raise_in(nb::python_error e) {
    if (state_ == State::running) throw nb::value_error("generator already executing");
    if (state_ == State::suspended) {
      state_ = State::running;
      try {
        if constexpr (requires { body_.thrown(e); }) body_.thrown(e);
      } catch (...) {
        finish();
        throw;
      }
    }
    finish();
    throw e;
  }

  // g.close(): GeneratorExit raised where the body is suspended; that error
  // (or StopIteration) ends the generator quietly, any other comes out.
  void close() {
    if (state_ == State::running) throw nb::value_error("generator already executing");
    if (state_ != State::suspended) return finish();
    PyErr_SetNone(PyExc_GeneratorExit);
    try {
      raise_in(nb::python_error());
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_GeneratorExit) && !e.matches(PyExc_StopIteration)) throw;
    }
  }

  template <class F>
  void visit(F&& f) {
    body_.visit(f);
  }

  void clear() {  // what the collector calls: the generator counts as finished
    finish();
  }

  // tp_finalize, which the collector calls on garbage in a reference cycle.
  static void finalize(PyObject* self) {
    if (nb::inst_ready(self) && !interpreter_exiting()) run_unraisable(self, [self] { nb::inst_ptr<Generator>(self)->close(); });
  }

 private:
  enum class State : uint8_t { created, suspended, running, finished };

  [[noreturn]] static void raise_stop() {
    PyErr_SetNone(PyExc_StopIteration);
    throw nb::python_error();
  }

  void finish() {
    state_ = State::finished;
    // At exit its objects are kept: letting go of one could run a finaliser's
    // Python code on a thread that the interpreter is about to stop.
    if (interpreter_exiting()) return body_.visit([](nb::object& o) { o.release(); });
    body_.visit([](nb::object& o) { o.reset(); });
  }

  Body body_;
  State state_ = State::created;
};

// Binds Generator<Body> as the type `name` of module m, registered as a
// collections.abc.Generator.
template <class Body>
void bind_generator(nb::module_& m, const char* name) {
  using G = Generator<Body>;
  static PyType_Slot slots[] = {{Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
                                {Py_tp_traverse, reinterpret_cast<void*>(&traverse_members<G>)},
                                {Py_tp_clear, reinterpret_cast<void*>(&clear_members<G>)},
                                {Py_tp_finalize, reinterpret_cast<void*>(&G::finalize)},
                                {0, nullptr}};
  using namespace nb::literals;
  nb::class_<G> cls(m, name, nb::type_slots(slots));
  cls.def("__next__", &G::next)
      .def("send", &G::send, "value"_a.none())
      .def(
          "throw", [](G& g, nb::handle typ, nb::handle val, nb::handle tb) { g.raise_in(thrown_error(typ, val, tb)); },
          "typ"_a.none(), "val"_a.none() = nb::none(), "tb"_a.none() = nb::none())
      .def("close", &G::close);
  nb::module_::import_("collections.abc").attr("Generator").attr("register")(cls);
}

// A new generator object running `body`.
template <class Body>
nb::object generator(Body body) {
  return nb::cast(Generator<Body>(std::move(body)));
}

}  // namespace halvane::open::py
