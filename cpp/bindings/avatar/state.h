// What every binding file of the live module shares: the module-level objects
// it binds once at import (asyncio, the record and error classes, the
// end-of-stream sentinel, the "halvane" logger), the module constants read at
// the moment of use (so a test or a caller may tune them), attribute access on
// any object (an avatar's own state is read and written through Session, in
// session.h), and the registry through which each file adds its members to
// the class.
//
// Threading: everything here runs with the GIL held, on the event loop's
// thread (or the caller's thread for the synchronous methods). Nothing here
// blocks.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <utility>

#include "avatar/queue.h"
#include "bindings/aio/bridge.h"
#include "bindings/common/numpy.h"
#include "bindings/common/protocol.h"

namespace halvane::avatar::py {

namespace nb = nanobind;

// The Python-protocol helpers every binding file calls unqualified
// (bindings/common/protocol.h).
using halvane::py::as_double;
using halvane::py::check;
using halvane::py::data_of;
using halvane::py::exception_of;
using halvane::py::float_of;
using halvane::py::get_or;
using halvane::py::handling;
using halvane::py::ignoring_exceptions;
using halvane::py::int_of;
using halvane::py::is_instance;
using halvane::py::or_else;
using halvane::py::ordinary;
using halvane::py::raise_error;
using halvane::py::raise_;
using halvane::py::second_of_pair;
using halvane::py::size_of;
using halvane::py::truthy;
using halvane::py::type_name;

// Objects bound when the module loads.
struct Env {
  nb::object module;  // halvane._avatar itself
  nb::object stream_end;
  nb::object log;  // logging.getLogger("halvane")

  // asyncio and time
  nb::object asyncio, Queue, Event, wait_for, sleep, get_running_loop, CancelledError, TimeoutError, wait,
      FIRST_COMPLETED;
  nb::object monotonic;
  nb::object ThreadPoolExecutor;  // concurrent.futures, as bound at load
  nb::object np;

  // package modules
  nb::object core;  // halvane._core
  nb::object z2_host;  // halvane._zephan2._tessel_host: the home of the zephan-2 chunk geometry
  nb::object ENGINE_ZEPHAN2, is_v2_engine;  // halvane.unified_header
  nb::object picture_fit;  // halvane._picture.fit
  nb::object VideoControl, AudioChunk, VideoFrame, dc_replace;
  long int16_max = 32767;
  nb::object ModelNotFoundError, RuntimeNotReadyError;
};
Env& env();

// A module constant, read now (module attribute of that name).
double const_f(const char* name);
long const_i(const char* name);
inline nb::object const_o(const char* name) { return env().module.attr(name); }

// Attribute access on any object, by name (an avatar's own state goes
// through Session, bindings/avatar/session.h).
inline nb::object get(nb::handle o, const char* name) { return o.attr(name); }
inline void set(nb::handle o, const char* name, nb::handle v) { nb::setattr(o, name, v); }
inline double now() { return nb::cast<double>(env().monotonic()); }
// int(v), a > b and v > 0, as Python computes them.
inline nb::object py_int(nb::handle v) { return nb::module_::import_("builtins").attr("int")(v); }
inline bool greater(nb::handle a, nb::handle b) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT);
  if (r < 0) throw nb::python_error();
  return r != 0;
}
inline bool gt_zero(nb::handle v) { return greater(v, nb::int_(0)); }
inline bool task_done(nb::handle task) { return truthy(task.attr("done")()); }

// Output items: the end of the stream (by identity), and the items after
// which a consumer expects nothing more (the end, or a forwarded failure).
inline bool is_stream_end(nb::handle item) { return item.is(env().stream_end); }
inline bool is_terminal(nb::handle item) { return is_stream_end(item) || PyExceptionInstance_Check(item.ptr()); }
// A frame record, and a frame's picture (None for a marker or a voice-only
// tick).
inline bool is_frame(nb::handle item) { return is_instance(item, env().VideoFrame); }
inline nb::object bgr_of(nb::handle frame) { return frame.attr("bgr_image"); }

// An asyncio queue as avatar/queue.h's rules take it.
struct QueueView {
  using Item = nb::object;
  nb::handle q;
  bool empty() const { return truthy(q.attr("empty")()); }
  nb::object get_nowait() const { return q.attr("get_nowait")(); }
  void put_nowait(nb::handle item) const { q.attr("put_nowait")(item); }
};
// The queue emptied without waiting; or emptied and refilled, in order, with
// the items for which keep(item) holds.
inline void drain_nowait(nb::handle q) {
  QueueView view{q};
  drain(view);
}
template <class Keep>
void keep_nowait(nb::handle q, Keep keep) {
  QueueView view{q};
  keep_in_order(view, [&](nb::handle item) { return keep(item); });
}

// asyncio.wait_for (Python 3.11) returns the result of an item that came in
// the loop step in which the waiting task was cancelled, and the
// cancellation is lost; the request still shows in the task's cancelling()
// count. Called after such a wait, this raises the lost cancellation.
inline void raise_lost_cancel() {
  nb::object task = env().asyncio.attr("current_task")();
  if (task.is_none() || !nb::hasattr(task, "cancelling")) return;
  if (nb::cast<long>(task.attr("cancelling")()) <= 0) return;
  PyErr_SetNone(env().CancelledError.ptr());
  throw nb::python_error();
}

// The logger's warning(fmt, *args).
template <class... A>
void warn(const char* fmt, A&&... args) {
  env().log.attr("warning")(fmt, std::forward<A>(args)...);
}
// The logger's warning(fmt, type name, error) for an error caught as `err`.
inline void warn_failed(const char* fmt, const nb::python_error& err) {
  warn(fmt, halvane::py::type_name(err.value()), err.value());
}

// co_await call(self, "name", args...): awaits self.name(args...), looked up on
// the instance, so a subclass may replace any member.
template <class... A>
aio::py::Await call(nb::handle self, const char* name, A&&... args) {
  return aio::py::await_(self.attr(name)(std::forward<A>(args)...));
}

// Makes the session the running loop's (bindings/avatar/loop.cc): the first thing each
// entry point that awaits on the session's queues, events or tasks does.
// Raises RuntimeError while another loop still runs the session.
void adopt_running_loop(nb::handle self);

// The members of AsyncAvatar as the binding files add them; module.cc puts
// them in the class's definition order.
using Members = nb::dict;

// Wraps a C++ callable as a method (self first) / property / class method.
template <class F, class... Extra>
nb::object method(F&& f, const Extra&... extra) {
  return nb::cpp_function(std::forward<F>(f), nb::is_method(), extra...);
}
// A property's docstring is its getter's own (nb::sig and a docstring among
// `extra`), not nanobind's rendering with the signature in front.
template <class F, class... Extra>
nb::object property(F&& f, const Extra&... extra) {
  nb::object fget = nb::cpp_function(std::forward<F>(f), nb::is_method(), extra...);
  nb::object doc = fget.attr("__nb_signature__")[0][1];
  return nb::module_::import_("builtins").attr("property")(fget, nb::none(), nb::none(), doc);
}
template <class F, class... Extra>
nb::object class_method(F&& f, const Extra&... extra) {
  return nb::steal(PyClassMethod_New(nb::cpp_function(std::forward<F>(f), nb::is_method(), extra...).ptr()));
}
template <class F, class... Extra>
nb::object static_method(F&& f, const Extra&... extra) {
  return nb::steal(PyStaticMethod_New(nb::cpp_function(std::forward<F>(f), extra...).ptr()));
}

// What each binding file adds (module-level functions go to `m`, members of
// the class to `ns`).
void add_state(Members& ns);                       // constructor
void add_creation(Members& ns);                    // create, set_model
void add_settings(Members& ns);                    // settings and properties
void add_input(nb::module_& m, Members& ns);       // push_audio, push, flush, arrival statistics; PCM helpers
void add_first_frame(Members& ns);                 // get_first_frame
void add_output(nb::module_& m, Members& ns);      // run, sync_to, _queued_reader, _ensure_running
void add_teardown(Members& ns);                    // stop, shutdown, cleanup
void add_interrupt(Members& ns);                    // interrupt
void add_producer(Members& ns);                    // producer task, tick emission, v2 tail
void add_clock(Members& ns);                       // playout clock

}  // namespace halvane::avatar::py
