// The Python face of the coroutines of aio/co.h: a Co<nb::object> becomes a
// coroutine object that asyncio runs as a task (send, throw, close; a
// collections.abc.Coroutine), an AsyncGen<nb::object> an asynchronous
// generator object (__anext__, asend, athrow, aclose), and `co_await
// await_(x)` inside either awaits any Python awaitable x by driving its
// __await__ iterator: what it yields goes up to the task, what the task sends
// or throws in goes down to it, so a task's cancellation reaches the C++
// frame as the CancelledError it is. Python errors keep their identity: they
// travel as nb::python_error inside std::exception_ptr.
//
// Threading: everything here runs on the thread that holds the GIL, which
// for a task is its event loop's thread. Nothing is locked: a coroutine or
// generator object is driven by one caller at a time (a second step while
// one runs is refused as Python refuses it), and no frame runs with the GIL
// released. A frame may hand work to another thread only through a Python
// awaitable (an executor's future).
//
// A C++ frame cannot co_await inside a catch handler: clean-up that awaits
// keeps the exception_ptr, awaits after the handler, then rethrows it.
//
// What a frame needs (Await, await_, coroutine, async_iterator, bind_bridge)
// is declared here; the objects that drive the frames are in bridge.cc,
// compiled once into the halvane_aio_bridge library.
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <exception>
#include <utility>

#include "aio/co.h"

namespace halvane::aio::py {

namespace nb = nanobind;

// co_await await_(x): awaits the Python awaitable x from a C++ frame; gives
// its result, or raises what it raised (CancelledError included).
class Await final : public Waiter {
 public:
  // Takes the awaitable over: a temporary in a co_await expression would
  // otherwise live in the frame, out of the collector's sight, until the
  // frame resumes. Raises TypeError, as `await` does, for an object that is
  // not awaitable.
  explicit Await(nb::object awaitable);
  Await(const Await&) = delete;

  bool await_ready() noexcept { return false; }
  // The first step runs at once; the frame stops only if the awaitable
  // yields, and the chain's root records where.
  template <class P>
  bool await_suspend(std::coroutine_handle<P> h) {
    if (send(nb::none())) return false;
    h.promise().root->wait(this, h);
    return true;
  }
  nb::object await_resume() {
    if (error_) std::rethrow_exception(std::exchange(error_, {}));
    return std::move(result_);
  }

  // What the awaitable yielded last, for the task.
  nb::handle yielded() const { return yielded_; }

  // The task's answer, passed on to the awaitable. True when the awaitable
  // is done (the frame is to be resumed), false when it yielded again.
  bool send(nb::handle value);

  // An error thrown in by the task (cancellation, close), passed on to the
  // awaitable if it takes errors, else straight to the frame. True and false
  // as for send().
  bool raise(nb::python_error& e);

  int traverse(visitproc visit, void* arg);

 private:
  void release();

  nb::object iter_, yielded_, result_;
  std::exception_ptr error_;
};

inline Await await_(nb::object awaitable) { return Await(std::move(awaitable)); }

// A new coroutine object running co; `name` is its cr_name. A frame that
// borrows an object (a method's self) passes it as `anchor`: it is held by
// the coroutine object, where the collector sees it, so that a cycle through
// a suspended frame (an object whose pending task runs one of its methods)
// can be collected like one through a Python coroutine.
nb::object coroutine(Co<nb::object> co, const char* name, nb::object anchor = nb::object());

// A new asynchronous generator object whose body is gen; `name` is its
// ag_name, `anchor` as for coroutine(). Each __anext__/asend/athrow/aclose
// is a coroutine object that runs the body to its next yield (or end), one
// at a time. A generator dropped while suspended has its frame destroyed
// without running on: clean-up that awaits needs aclose().
nb::object async_iterator(AsyncGen<nb::object> gen, const char* name, nb::object anchor = nb::object());

// Binds the coroutine and asynchronous generator types (NativeCoroutine,
// NativeAsyncIterator) into module m and registers them with
// collections.abc. Called once, from the module's init, before coroutine()
// or async_iterator().
void bind_bridge(nb::module_& m);

}  // namespace halvane::aio::py
