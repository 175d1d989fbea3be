// _aio_probes, built for the tests and the bridge's benchmark only
// (never installed): a few coroutines written in C++ on the asyncio bridge,
// so that the bridge can be exercised from Python on its own, in a module of
// its own nanobind domain beside halvane._avatar.
#include <exception>

#include "bindings/aio/bridge.h"

namespace halvane::aio::py {

namespace {

namespace nb = nanobind;

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

}  // namespace halvane::aio::py

NB_MODULE(_aio_probes, m) {
  using namespace halvane::aio::py;
  using namespace nb::literals;
  bind_bridge(m);
  m.def(
      "chain", [](nb::object awaitable, int depth) { return coroutine(chain(std::move(awaitable), depth), "chain"); },
      "awaitable"_a, "depth"_a = 0);
  m.def("guarded", [](nb::object awaitable, nb::object cleanup) {
    return coroutine(guarded(std::move(awaitable), std::move(cleanup)), "guarded");
  });
  m.def("consume", [](nb::object queue, long n) { return coroutine(consume(std::move(queue), n), "consume"); });
  m.def("counter", [](long n, nb::object tick, nb::object log) {
    return async_iterator(counter(n, std::move(tick), std::move(log)), "counter");
  });
}
