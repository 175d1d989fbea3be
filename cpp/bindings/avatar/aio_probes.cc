// A few coroutines written in C++ on the asyncio bridge, internal to the
// module, so that the bridge can be exercised from Python on its own.
#include <exception>

#include "bindings/aio/bridge.h"
#include "bindings/avatar/module.h"

namespace halvane::avatar::py {

namespace {

namespace nb = nanobind;
using aio::AsyncGen;
using aio::Co;
using aio::py::await_;

// Awaits `awaitable` through `depth` nested C++ frames. The innermost frame
// raises its result when that is an exception instance.
Co<nb::object> chain(nb::object awaitable, int depth) {
  if (depth > 0) co_return co_await chain(std::move(awaitable), depth - 1);
  nb::object r = co_await await_(awaitable);
  if (PyExceptionInstance_Check(r.ptr())) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(r.ptr())), r.ptr());
    throw nb::python_error();
  }
  co_return r;
}

// Awaits `awaitable`; when that raises, awaits cleanup(error) (through a
// nested C++ frame) and raises the same error again.
Co<nb::object> guarded(nb::object awaitable, nb::object cleanup) {
  std::exception_ptr failure;
  nb::object error;
  try {
    co_return co_await await_(awaitable);
  } catch (nb::python_error& e) {
    failure = std::current_exception();
    error = nb::borrow(e.value());
  }
  co_await chain(cleanup(error), 1);
  std::rethrow_exception(failure);
}

// Takes n items from an asyncio queue, awaiting get() for each; their sum.
Co<nb::object> consume(nb::object queue, long n) {
  nb::object get = queue.attr("get");
  long total = 0;
  for (long i = 0; i < n; ++i) total += nb::cast<long>(co_await await_(get()));
  co_return nb::int_(total);
}

// Yields 0 .. n-1, awaiting tick() before each; a non-None value sent in is
// appended to log. Ended by an error, it appends the error, awaits tick()
// and re-raises; ended normally, it appends "done".
AsyncGen<nb::object> counter(long n, nb::object tick, nb::object log) {
  std::exception_ptr failure;
  try {
    for (long i = 0; i < n; ++i) {
      co_await await_(tick());
      nb::object sent = co_yield nb::int_(i);
      if (!sent.is_none()) log.attr("append")(sent);
    }
  } catch (nb::python_error& e) {
    failure = std::current_exception();
    log.attr("append")(e.value());
  }
  if (failure) {
    co_await await_(tick());
    log.attr("append")("cleaned");
    std::rethrow_exception(failure);
  }
  log.attr("append")("done");
}

}  // namespace

void bind_aio_probes(nb::module_& m) {
  using namespace nb::literals;
  m.def(
      "_aio_chain",
      [](nb::object awaitable, int depth) { return aio::py::coroutine(chain(std::move(awaitable), depth), "_aio_chain"); },
      "awaitable"_a, "depth"_a = 0);
  m.def("_aio_guarded", [](nb::object awaitable, nb::object cleanup) {
    return aio::py::coroutine(guarded(std::move(awaitable), std::move(cleanup)), "_aio_guarded");
  });
  m.def("_aio_consume",
        [](nb::object queue, long n) { return aio::py::coroutine(consume(std::move(queue), n), "_aio_consume"); });
  m.def("_aio_counter", [](long n, nb::object tick, nb::object log) {
    return aio::py::async_iterator(counter(n, std::move(tick), std::move(log)), "_aio_counter");
  });
}

}  // namespace halvane::avatar::py
