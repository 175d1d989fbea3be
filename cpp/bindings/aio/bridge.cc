// The objects that drive the frames of aio/co.h for Python (see bridge.h):
// Coroutine, the coroutine object a task runs, and AsyncIterator, the
// asynchronous generator object whose steps are Coroutines. Compiled once,
// into the halvane_aio_bridge library.
#include "bindings/aio/bridge.h"

#include <memory>
#include <utility>

#include "bindings/common/errors.h"
#include "bindings/common/protocol.h"

namespace halvane::aio::py {

namespace {

// The Python error now set, as a C++ exception to carry.
std::exception_ptr fetch_error() { return std::make_exception_ptr(nb::python_error()); }

// Sets StopIteration carrying `value` (a tuple or an exception stays whole).
void set_stop(nb::handle value) {
  if (value.is_none()) return PyErr_SetNone(PyExc_StopIteration);
  PyObject* e = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());
  if (!e) return;
  PyErr_SetObject(PyExc_StopIteration, e);
  Py_DECREF(e);
}

// Raises a Python error of the given type as a C++ exception (a
// python_error, which every slot of this file passes on unchanged).
[[noreturn]] void raise_error(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw nb::python_error();
}
[[noreturn]] void raise_runtime_error(const char* message) { raise_error(PyExc_RuntimeError, message); }

using halvane::py::run_unraisable;

// The error that x.throw(typ[, val[, tb]]) raises, read as Python reads it.
nb::python_error thrown_error(nb::handle typ, nb::handle val, nb::handle tb) {
  if (!tb.is_none() && !PyTraceBack_Check(tb.ptr()))
    raise_error(PyExc_TypeError, "throw() third argument must be a traceback object");
  if (PyExceptionInstance_Check(typ.ptr())) {
    if (!val.is_none()) raise_error(PyExc_TypeError, "instance exception may not have a separate value");
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(typ.ptr())), typ.ptr());
  } else if (PyExceptionClass_Check(typ.ptr())) {
    PyErr_SetObject(typ.ptr(), val.is_none() ? nullptr : val.ptr());
  } else {
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ.ptr())->tp_name);
    throw nb::python_error();
  }
  nb::python_error e;
  if (!tb.is_none()) PyException_SetTraceback(e.value().ptr(), tb.ptr());
  return e;
}

// o.name, or 0 and no error set when o has no such attribute; -1 on
// another error.
int get_optional_attr(PyObject* o, const char* name, PyObject** out) {
  *out = PyObject_GetAttrString(o, name);
  if (*out) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

}  // namespace

Await::Await(nb::object awaitable) {
  PyObject* o = awaitable.ptr();
  if (PyCoro_CheckExact(o)) {
    iter_ = std::move(awaitable);
    return;
  }
  PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
  if (!am || !am->am_await) {
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    throw nb::python_error();
  }
  iter_ = nb::steal(am->am_await(o));
  if (!iter_.is_valid()) throw nb::python_error();
  if (!PyIter_Check(iter_.ptr())) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 Py_TYPE(iter_.ptr())->tp_name);
    throw nb::python_error();
  }
}

bool Await::send(nb::handle value) {
  PyObject* out = nullptr;
  switch (PyIter_Send(iter_.ptr(), value.ptr(), &out)) {
    case PYGEN_NEXT:
      yielded_ = nb::steal(out);
      return false;
    case PYGEN_RETURN:
      result_ = nb::steal(out);
      break;
    case PYGEN_ERROR:
      error_ = fetch_error();
      break;
  }
  release();
  return true;
}

bool Await::raise(nb::python_error& e) {
  PyObject* meth = nullptr;
  if (get_optional_attr(iter_.ptr(), "throw", &meth) < 0) {
    error_ = fetch_error();
  } else if (!meth) {
    error_ = std::make_exception_ptr(std::move(e));
  } else {
    PyObject* out = PyObject_CallOneArg(meth, e.value().ptr());
    Py_DECREF(meth);
    if (out) {
      yielded_ = nb::steal(out);
      return false;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
      nb::python_error stop;
      result_ = stop.value().attr("value");
    } else {
      error_ = fetch_error();
    }
  }
  release();
  return true;
}

int Await::traverse(visitproc visit, void* arg) {
  Py_VISIT(iter_.ptr());
  Py_VISIT(yielded_.ptr());
  return 0;
}

void Await::release() {
  iter_.reset();
  yielded_.reset();
}

namespace {

// A chain of frames that a Coroutine object drives.
class Runner {
 public:
  virtual ~Runner() = default;
  virtual Root& root() = 0;
  // The frame to resume at the first step; none to go straight to the end.
  virtual std::coroutine_handle<> start() = 0;
  // The chain has stopped not waiting: what the step amounts to, a value for
  // StopIteration, or an invalid object with a Python error set; or throws.
  virtual nb::object finish() = 0;
  virtual int traverse(visitproc, void*) { return 0; }
};

// A Python coroutine object running a Runner's chain.
class Coroutine {
 public:
  Coroutine(std::unique_ptr<Runner> runner, const char* name) : runner_(std::move(runner)), name_(name) {}
  Coroutine(Coroutine&& o) noexcept
      : runner_(std::move(o.runner_)), name_(o.name_), state_(std::exchange(o.state_, State::finished)) {}
  ~Coroutine() {
    if (state_ == State::suspended) run_unraisable(nb::handle(), [this] { close(); });
  }

  nb::object send(nb::handle value) {
    check_idle();
    if (state_ == State::created) {
      if (!value.is_none()) raise_error(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
      state_ = State::running;
      std::coroutine_handle<> h;
      try {
        h = runner_->start();
      } catch (...) {
        finish_now();
        throw;
      }
      return step(h);
    }
    state_ = State::running;
    if (!waiter()->send(value)) return suspend();
    return step(resume_leaf());
  }

  // throw(e): e raised where the chain waits.
  nb::object raise_in(nb::python_error e) {
    check_idle();
    if (state_ != State::suspended) {
      finish_now();
      throw e;
    }
    state_ = State::running;
    if (!waiter()->raise(e)) return suspend();
    return step(resume_leaf());
  }

  void close() {
    if (state_ == State::running) raise_error(PyExc_ValueError, "coroutine already executing");
    if (state_ != State::suspended) return finish_now();
    PyErr_SetNone(PyExc_GeneratorExit);
    nb::object r;
    try {
      r = raise_in(nb::python_error());
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_GeneratorExit) && !e.matches(PyExc_StopIteration)) throw;
      return;
    }
    if (r.is_valid()) raise_runtime_error("coroutine ignored GeneratorExit");
    if (!PyErr_ExceptionMatches(PyExc_StopIteration) && !PyErr_ExceptionMatches(PyExc_GeneratorExit))
      throw nb::python_error();
    PyErr_Clear();
  }

  const char* name() const { return name_; }
  bool running() const { return state_ == State::running; }

  int traverse(visitproc visit, void* arg) {
    if (!runner_) return 0;
    if (state_ == State::suspended)
      if (int rc = waiter()->traverse(visit, arg)) return rc;
    return runner_->traverse(visit, arg);
  }
  void clear() {  // what the collector calls: drops the chain unfinished
    state_ = State::finished;
    runner_.reset();
  }
  static void finalize(PyObject* self) {
    if (nb::inst_ready(self)) run_unraisable(self, [self] { nb::inst_ptr<Coroutine>(self)->close(); });
  }

 private:
  enum class State : uint8_t { created, suspended, running, finished };

  void check_idle() {
    if (state_ == State::running) raise_error(PyExc_ValueError, "coroutine already executing");
    if (state_ == State::finished && !runner_) raise_runtime_error("cannot reuse already awaited coroutine");
  }
  Await* waiter() { return static_cast<Await*>(runner_->root().waiting); }
  nb::object suspend() {
    state_ = State::suspended;
    return nb::borrow(waiter()->yielded());
  }
  std::coroutine_handle<> resume_leaf() {
    Root& r = runner_->root();
    r.waiting = nullptr;
    return std::exchange(r.leaf, {});
  }
  void finish_now() {
    state_ = State::finished;
    runner_.reset();
  }

  // Resumes h (if any) until the chain stops: waiting again (what to yield
  // comes back), or at its end (StopIteration or the error is set, unless
  // `result` takes the final value).
  nb::object step(std::coroutine_handle<> h) {
    if (h) h.resume();
    if (runner_->root().waiting) return suspend();
    state_ = State::finished;
    std::unique_ptr<Runner> done = std::move(runner_);
    nb::object r = done->finish();
    if (result_ && r.is_valid()) {
      *result_ = std::move(r);
      return nb::object();
    }
    if (r.is_valid()) set_stop(r);
    return nb::object();
  }

 public:
  // tp_iternext and am_send: the slots through which `await` and asyncio's
  // own coroutines drive this one, without StopIteration on the way out.
  static PyObject* iternext(PyObject* self) {
    PyObject* out = nullptr;
    PySendResult r = am_send(self, Py_None, &out);
    if (r == PYGEN_RETURN) {
      set_stop(nb::handle(out));
      Py_DECREF(out);
      return nullptr;
    }
    return out;
  }
  static PySendResult am_send(PyObject* self, PyObject* arg, PyObject** out) {
    Coroutine* c = nb::inst_ptr<Coroutine>(self);
    nb::object result;
    *out = nullptr;
    try {
      c->result_ = &result;
      nb::object r = c->send(arg);
      c->result_ = nullptr;
      if (r.is_valid()) {
        *out = r.release().ptr();
        return PYGEN_NEXT;
      }
    } catch (nb::python_error& e) {
      c->result_ = nullptr;
      e.restore();
      return PYGEN_ERROR;
    } catch (const std::exception&) {
      c->result_ = nullptr;
      halvane::py::set_cpp_error(std::current_exception());
      return PYGEN_ERROR;
    }
    if (result.is_valid()) {
      *out = result.release().ptr();
      return PYGEN_RETURN;
    }
    if (!PyErr_Occurred()) return PYGEN_ERROR;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
    nb::python_error stop;  // a StopIteration set on the way (from an iterator)
    *out = nb::object(stop.value().attr("value")).release().ptr();
    return PYGEN_RETURN;
  }

 private:
  nb::object* result_ = nullptr;

  std::unique_ptr<Runner> runner_;
  const char* name_;
  State state_ = State::created;
};

// Runs one Co<nb::object> from its start to its end. `anchor` (the object a
// method runs on) is held here, where the collector sees it, and borrowed by
// the frame: a cycle through a suspended frame (an object whose pending task
// runs one of its methods) can then be collected like one through a Python
// coroutine.
class CoRunner final : public Runner {
 public:
  CoRunner(Co<nb::object> co, nb::object anchor) : anchor_(std::move(anchor)), co_(std::move(co)) {}
  Root& root() override { return root_; }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(anchor_.ptr());
    return 0;
  }
  std::coroutine_handle<> start() override {
    co_.frame().promise().root = &root_;
    return co_.frame();
  }
  nb::object finish() override {
    std::exception_ptr error = co_.frame().promise().error;
    if (error) {
      co_.reset();
      std::rethrow_exception(error);
    }
    nb::object r = co_.take();
    co_.reset();
    return r;
  }

 private:
  nb::object anchor_;  // declared first: the frame that borrows it goes first
  Co<nb::object> co_;
  Root root_;
};

}  // namespace

// A new coroutine object running co; `name` is its cr_name. A frame that
// borrows an object (a method's self) passes it as `anchor`.
nb::object coroutine(Co<nb::object> co, const char* name, nb::object anchor) {
  // One is made per call of a coroutine method: the bound type is looked up
  // once, and the object is built in place.
  static nb::handle type = nb::type<Coroutine>();
  nb::object self = nb::inst_alloc(type);
  new (nb::inst_ptr<Coroutine>(self)) Coroutine(std::make_unique<CoRunner>(std::move(co), std::move(anchor)), name);
  nb::inst_mark_ready(self);
  return self;
}

namespace {

// An asynchronous generator object whose body is an AsyncGen<nb::object>.
// Each __anext__/asend/athrow/aclose is a Coroutine that runs the body to its
// next yield (or end); one at a time. A generator dropped while suspended has
// its frame destroyed without running on: clean-up that awaits needs aclose().
class AsyncIterator {
 public:
  enum class Mode : uint8_t { next, raise, close };

  AsyncIterator(AsyncGen<nb::object> gen, const char* name, nb::object anchor = nb::object())
      : anchor_(std::move(anchor)), gen_(std::move(gen)), name_(name) {}
  AsyncIterator(AsyncIterator&& o) noexcept
      : anchor_(std::move(o.anchor_)),
        gen_(std::move(o.gen_)),
        name_(o.name_),
        state_(std::exchange(o.state_, State::finished)) {}

  const char* name() const { return name_; }
  int traverse(visitproc visit, void* arg) {
    Py_VISIT(anchor_.ptr());
    return 0;
  }
  void clear() { end(); }  // what the collector calls: drops the body unfinished

  // One step of the body, as a coroutine object; self is this object.
  static nb::object step(nb::handle self, Mode mode, nb::handle sent, std::exception_ptr thrown) {
    auto* it = nb::inst_ptr<AsyncIterator>(self);
    return nb::cast(Coroutine(std::make_unique<Step>(nb::borrow(self), it, mode, nb::borrow(sent), thrown),
                              it->name_));
  }

 private:
  enum class State : uint8_t { created, suspended, running, finished };

  class Step final : public Runner {
   public:
    Step(nb::object owner, AsyncIterator* it, Mode mode, nb::object sent, std::exception_ptr thrown)
        : owner_(std::move(owner)), it_(it), mode_(mode), sent_(std::move(sent)), thrown_(thrown) {}
    // A step dropped before the body stopped (the collector broke its
    // cycle) leaves the body nowhere to resume: it is ended.
    ~Step() override {
      if (started_) it_->end();
    }
    Root& root() override { return it_->root_; }

    std::coroutine_handle<> start() override {
      AsyncIterator& it = *it_;
      if (it.state_ == State::running) raise_runtime_error("anext(): asynchronous generator is already running");
      if (it.state_ == State::created) {
        if (mode_ == Mode::next && !sent_.is_none())
          raise_error(PyExc_TypeError, "can't send non-None value to a just-started async generator");
        if (mode_ != Mode::next) it.end();
      }
      if (it.state_ == State::finished) {
        if (mode_ == Mode::raise) std::rethrow_exception(thrown_);
        return {};
      }
      auto h = it.gen_.frame();
      auto& p = h.promise();
      p.root = &it.root_;
      p.sent = std::move(sent_);
      p.thrown = thrown_;
      it.state_ = State::running;
      started_ = true;
      return h;
    }

    nb::object finish() override {
      AsyncIterator& it = *it_;
      started_ = false;
      auto h = it.gen_.frame();
      if (!h || h.done()) {
        std::exception_ptr error = h ? h.promise().error : nullptr;
        it.end();
        if (error) {
          if (mode_ != Mode::close) std::rethrow_exception(error);
          try {
            std::rethrow_exception(error);
          } catch (nb::python_error& e) {
            if (!e.matches(PyExc_GeneratorExit)) throw;
          }
          return nb::none();
        }
        if (mode_ == Mode::close) return nb::none();
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return nb::object();
      }
      it.state_ = State::suspended;
      nb::object item = std::move(*h.promise().item);
      h.promise().item.reset();
      if (mode_ == Mode::close) raise_runtime_error("async generator ignored GeneratorExit");
      return item;
    }

    int traverse(visitproc visit, void* arg) override {
      Py_VISIT(owner_.ptr());
      Py_VISIT(sent_.ptr());
      return 0;
    }

   private:
    nb::object owner_;
    AsyncIterator* it_;
    Mode mode_;
    nb::object sent_;
    std::exception_ptr thrown_;
    bool started_ = false;
  };

  void end() {
    state_ = State::finished;
    gen_.reset();
  }

  nb::object anchor_;  // as CoRunner's: borrowed by the body, seen by the collector here
  AsyncGen<nb::object> gen_;
  Root root_;
  const char* name_;
  State state_ = State::created;
};

}  // namespace

nb::object async_iterator(AsyncGen<nb::object> gen, const char* name, nb::object anchor) {
  return nb::cast(AsyncIterator(std::move(gen), name, std::move(anchor)));
}

// Binds the coroutine and asynchronous generator types into module m.
void bind_bridge(nb::module_& m) {
  using namespace nb::literals;
  static PyType_Slot co_slots[] = {
      {Py_tp_traverse, reinterpret_cast<void*>(+[](PyObject* self, visitproc visit, void* arg) -> int {
         Py_VISIT(Py_TYPE(self));
         return nb::inst_ready(self) ? nb::inst_ptr<Coroutine>(self)->traverse(visit, arg) : 0;
       })},
      {Py_tp_clear, reinterpret_cast<void*>(+[](PyObject* self) -> int {
         if (nb::inst_ready(self)) nb::inst_ptr<Coroutine>(self)->clear();
         return 0;
       })},
      {Py_tp_finalize, reinterpret_cast<void*>(&Coroutine::finalize)},
      {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(&Coroutine::iternext)},
      {Py_am_await, reinterpret_cast<void*>(+[](PyObject* self) { return Py_NewRef(self); })},
      {Py_am_send, reinterpret_cast<void*>(&Coroutine::am_send)},
      {0, nullptr}};
  nb::class_<Coroutine> co(m, "NativeCoroutine", nb::type_slots(co_slots));
  co.def("send", &Coroutine::send, "value"_a.none())
      .def(
          "throw",
          [](Coroutine& c, nb::handle typ, nb::handle val, nb::handle tb) {
            return c.raise_in(thrown_error(typ, val, tb));
          },
          "typ"_a.none(), "val"_a.none() = nb::none(), "tb"_a.none() = nb::none())
      .def("close", &Coroutine::close)
      .def_prop_ro("cr_name", [](Coroutine& c) { return c.name(); })
      .def_prop_ro("cr_running", &Coroutine::running);
  nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(co);

  static PyType_Slot it_slots[] = {
      {Py_tp_traverse, reinterpret_cast<void*>(+[](PyObject* self, visitproc visit, void* arg) -> int {
         Py_VISIT(Py_TYPE(self));
         return nb::inst_ready(self) ? nb::inst_ptr<AsyncIterator>(self)->traverse(visit, arg) : 0;
       })},
      {Py_tp_clear, reinterpret_cast<void*>(+[](PyObject* self) -> int {
         if (nb::inst_ready(self)) nb::inst_ptr<AsyncIterator>(self)->clear();
         return 0;
       })},
      {0, nullptr}};
  using Mode = AsyncIterator::Mode;
  nb::class_<AsyncIterator> it(m, "NativeAsyncIterator", nb::type_slots(it_slots));
  it.def("__aiter__", [](nb::handle self) { return nb::borrow(self); })
      .def("__anext__", [](nb::handle self) { return AsyncIterator::step(self, Mode::next, nb::none(), nullptr); })
      .def(
          "asend", [](nb::handle self, nb::handle v) { return AsyncIterator::step(self, Mode::next, v, nullptr); },
          "value"_a.none())
      .def(
          "athrow",
          [](nb::handle self, nb::handle typ, nb::handle val, nb::handle tb) {
            return AsyncIterator::step(self, Mode::raise, nb::none(),
                                       std::make_exception_ptr(thrown_error(typ, val, tb)));
          },
          "typ"_a.none(), "val"_a.none() = nb::none(), "tb"_a.none() = nb::none())
      .def("aclose",
           [](nb::handle self) {
             PyErr_SetNone(PyExc_GeneratorExit);
             return AsyncIterator::step(self, Mode::close, nb::none(), fetch_error());
           })
      .def_prop_ro("ag_name", [](AsyncIterator& a) { return a.name(); });
  nb::module_::import_("collections.abc").attr("AsyncGenerator").attr("register")(it);
}

}  // namespace halvane::aio::py
