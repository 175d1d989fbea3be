// The one typed view of a live session's state. The state itself stays in
// the instance attributes of the AsyncAvatar (tests, the loader mixin and
// subclasses read and write them there); this is the only place that names
// them, gives each its C++ type and writes down what an attribute that was
// never set reads as.
//
// Attributes the constructor sets are read strictly: an instance whose
// constructor did not run raises AttributeError, as Python would. A view made
// with Session::tolerant() reads them as their initial value instead; it is
// for the paths that must work on any instance (teardown, the output
// iterator's checks of the session's tasks). Attributes set only after
// construction always read as their default while absent.
//
// Threading: event-loop thread (or the caller's thread for the synchronous
// methods), GIL held. The attribute names are interned once and kept for the
// life of the process, so a read on the per-frame paths makes no string.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "bindings/avatar/state.h"

namespace halvane::avatar::py {

class Session {
 public:
  explicit Session(nb::handle self) : self_(self) {}
  static Session tolerant(nb::handle self) {
    Session s(self);
    s.tolerant_ = true;
    return s;
  }

  // --- set by the constructor ---
  void set_num_threads(nb::handle v) const { put(k_num_threads, v); }
  void set_model_path(nb::handle v) const { put(k_model_path, v); }
  // None (the engine's native size) or a (width, height) pair.
  nb::object output_size() const { return read(k_output_size, nb::none()); }
  void set_output_size(nb::handle v) const { put(k_output_size, v); }
  nb::object fixture() const { return read(k_fixture, nb::none()); }
  void set_fixture(nb::handle v) const { put(k_fixture, v); }
  nb::object runtime() const { return read(k_runtime, nb::none()); }
  void set_runtime(nb::handle v) const { put(k_runtime, v); }
  nb::object in_queue() const { return read(k_in_queue, nb::none()); }
  void set_in_queue(nb::handle v) const { put(k_in_queue, v); }
  nb::object out_queue() const { return read(k_out_queue, nb::none()); }
  void set_out_queue(nb::handle v) const { put(k_out_queue, v); }
  nb::object producer_task() const { return read(k_producer_task, nb::none()); }
  void set_producer_task(nb::handle v) const { put(k_producer_task, v); }
  bool running() const { return truthy(read(k_running, Py_False)); }
  void set_running(bool v) const { put(k_running, v ? Py_True : Py_False); }
  nb::object stop_event() const { return read(k_stop_event, nb::none()); }
  void set_stop_event(nb::handle v) const { put(k_stop_event, v); }
  nb::object interrupt_event() const { return read(k_interrupt_event, nb::none()); }
  void set_interrupt_event(nb::handle v) const { put(k_interrupt_event, v); }
  // None, or the reader of the seconds of audio queued for playback.
  nb::object audio_queued() const { return read(k_audio_queued, nb::none()); }
  void set_audio_queued(nb::handle v) const { put(k_audio_queued, v); }
  // deque of (release time, picture-only frame).
  nb::object sync_pend() const { return read(k_sync_pend, nb::none()); }
  void set_sync_pend(nb::handle v) const { put(k_sync_pend, v); }
  int64_t stream_pushed() const { return nb::cast<int64_t>(read(k_stream_pushed, zero_int())); }
  void set_stream_pushed(int64_t n) const { put(k_stream_pushed, nb::int_(n)); }
  nb::object engine_executor() const { return read(k_engine_executor, nb::none()); }
  void set_engine_executor(nb::handle v) const { put(k_engine_executor, v); }
  // None, or the queue between the producer and the playout clock.
  nb::object playout() const { return read(k_playout, nb::none()); }
  void set_playout(nb::handle v) const { put(k_playout, v); }
  nb::object emitter_task() const { return read(k_emitter_task, nb::none()); }
  void set_emitter_task(nb::handle v) const { put(k_emitter_task, v); }
  bool playout_reset() const { return truthy(read(k_playout_reset, Py_False)); }
  void set_playout_reset(bool v) const { put(k_playout_reset, v ? Py_True : Py_False); }
  // How many times interrupt() has run: an item taken off, or put on, a
  // queue while this count changed belongs to an abandoned utterance.
  long interrupts() const {
    nb::object n = read_or(k_interrupts, nb::none());
    return n.is_none() ? 0 : nb::cast<long>(n);
  }
  void set_interrupts(long n) const { put(k_interrupts, nb::int_(n)); }

  // --- set after construction; each reads as its default while absent ---
  // None while no model was loaded.
  nb::object engine_id() const { return read_or(k_engine_id, nb::none()); }
  // The engine id, or nullopt while none was ever set (one read).
  std::optional<nb::object> engine_id_if_set() const {
    nb::object v = read_or(k_engine_id, nb::handle());
    return v.is_valid() ? std::optional(v) : std::nullopt;
  }
  bool has_engine_id() const { return PyObject_HasAttr(self_.ptr(), k_engine_id.get()) == 1; }
  void set_engine_id(nb::handle v) const { put(k_engine_id, v); }
  void forget_engine_id() const {
    if (has_engine_id()) nb::delattr(self_, nb::handle(k_engine_id.get()));
  }
  nb::object transaction_id() const { return read_or(k_transaction_id, nb::none()); }
  void set_transaction_id(nb::handle v) const { put(k_transaction_id, v); }
  // The arrival statistics of the current run of input.
  std::optional<double> arr_t0() const { return opt(read_or(k_arr_t0, nb::none())); }
  void set_arr_t0(std::optional<double> t) const { put_opt(k_arr_t0, t); }
  // Seconds pushed in the run, kept as the Python number the sum gives.
  nb::object arr_s() const { return read_or(k_arr_s, zero_float()); }
  void set_arr_s(nb::handle v) const { put(k_arr_s, v); }
  bool arr_done() const { return truthy(read_or(k_arr_done, Py_False)); }
  void set_arr_done(bool v) const { put(k_arr_done, v ? Py_True : Py_False); }
  std::optional<double> arr_t_end() const { return opt(read_or(k_arr_t_end, nb::none())); }
  void set_arr_t_end(double t) const { put(k_arr_t_end, nb::float_(t)); }
  // Render times of the zephan-2 engine: the utterance's first push that made
  // ticks, and the smoothed later ones.
  std::optional<double> z2_r0() const { return opt(read_or(k_z2_r0, nb::none())); }
  void set_z2_r0(std::optional<double> s) const { put_opt(k_z2_r0, s); }
  std::optional<double> z2_steady_s() const { return opt(read_or(k_z2_steady_s, nb::none())); }
  void set_z2_steady_s(double s) const { put(k_z2_steady_s, nb::float_(s)); }
  // The pictures the playout clock may hold, and the event it keeps open
  // while it holds fewer (both None while no clock runs).
  std::optional<long> playout_hold() const {
    nb::object v = read_or(k_playout_hold, nb::none());
    if (v.is_none()) return std::nullopt;
    return nb::cast<long>(v);
  }
  void set_playout_hold(long n) const { put(k_playout_hold, nb::int_(n)); }
  nb::object playout_room() const { return read_or(k_playout_room, nb::none()); }
  void set_playout_room(nb::handle v) const { put(k_playout_room, v); }
  // The end-of-speech control stop() queued, until the next start drops it.
  nb::object stop_control() const { return read_or(k_stop_control, nb::none()); }
  void set_stop_control(nb::handle v) const { put(k_stop_control, v); }
  // A weak reference to the event loop the queues, events and tasks are
  // for (bindings/avatar/loop.cc); None until the first use on a loop.
  nb::object loop_ref() const { return read_or(k_session_loop, nb::none()); }
  void set_loop_ref(nb::handle v) const { put(k_session_loop, v); }

 private:
  // An attribute name, interned at its first use and never released.
  class Key {
   public:
    explicit constexpr Key(const char* text) : text_(text) {}
    PyObject* get() const {
      if (!obj_) {
        obj_ = PyUnicode_InternFromString(text_);
        if (!obj_) throw nb::python_error();
      }
      return obj_;
    }

   private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
  };

  static inline Key k_num_threads{"_num_threads"}, k_output_size{"_output_size"}, k_fixture{"_fixture"},
      k_runtime{"_runtime"}, k_model_path{"_model_path"}, k_in_queue{"_in_queue"}, k_out_queue{"_out_queue"},
      k_producer_task{"_producer_task"}, k_running{"_running"}, k_stop_event{"_stop_event"},
      k_interrupt_event{"_interrupt_event"}, k_audio_queued{"_audio_queued"}, k_sync_pend{"_sync_pend"},
      k_stream_pushed{"_stream_pushed"}, k_engine_executor{"_engine_executor"}, k_playout{"_playout"},
      k_emitter_task{"_emitter_task"}, k_playout_reset{"_playout_reset"}, k_interrupts{"_interrupts"},
      k_engine_id{"_engine_id"}, k_transaction_id{"_transaction_id"}, k_arr_t0{"_arr_t0"}, k_arr_s{"_arr_s"},
      k_arr_done{"_arr_done"}, k_arr_t_end{"_arr_t_end"}, k_z2_r0{"_z2_r0"}, k_z2_steady_s{"_z2_steady_s"},
      k_playout_hold{"_playout_hold"}, k_playout_room{"_playout_room"}, k_stop_control{"_stop_control"},
      k_session_loop{"_session_loop"};

  static nb::handle zero_int() {
    static PyObject* zero = PyLong_FromLong(0);  // kept for the life of the process
    return zero;
  }
  static nb::handle zero_float() {
    static PyObject* zero = PyFloat_FromDouble(0.0);
    return zero;
  }
  static std::optional<double> opt(nb::handle v) {
    if (v.is_none()) return std::nullopt;
    return as_double(v);
  }

  // The attribute, or `dflt` when it is absent.
  nb::object read_or(const Key& k, nb::handle dflt) const { return get_or(self_, nb::handle(k.get()), dflt); }
  // A constructor attribute: strict, unless this view is tolerant.
  nb::object read(const Key& k, nb::handle initial) const {
    if (tolerant_) return read_or(k, initial);
    return halvane::py::check(PyObject_GetAttr(self_.ptr(), k.get()));
  }
  void put(const Key& k, nb::handle v) const {
    if (PyObject_SetAttr(self_.ptr(), k.get(), v.ptr()) != 0) throw nb::python_error();
  }
  void put_opt(const Key& k, std::optional<double> v) const {
    if (v) put(k, nb::float_(*v));
    else put(k, nb::none());
  }

  nb::handle self_;
  bool tolerant_ = false;
};

// The session's two events, as its tasks read them.
inline bool event_set(nb::handle event) { return truthy(event.attr("is_set")()); }
inline bool stopped(nb::handle self) { return event_set(Session(self).stop_event()); }
inline bool interrupted(nb::handle self) { return event_set(Session(self).interrupt_event()); }
// stop, or else interrupt: the session's work in hand is to end now.
inline bool stop_or_interrupt(nb::handle self) { return stopped(self) || interrupted(self); }

// A task as the cores' rules ask about it (avatar/teardown.h, task_state in
// avatar/output.h).
struct TaskProbe {
  nb::handle task;
  bool exists() const { return !task.is_none(); }
  bool done() const { return task_done(task); }
  bool cancelled() const { return truthy(task.attr("cancelled")()); }
};

// Awaits q.put(item). A put that had to wait for room may complete only
// after an interrupt() emptied the queue: the item then belongs to the
// abandoned utterance and is taken out again at once (in the same loop step
// it went in, so nobody has seen it). The end of the stream and a forwarded
// failure always stay.
inline aio::Co<nb::object> put_current(nb::handle self, nb::object q, nb::object item) {
  const long before = Session(self).interrupts();
  co_await aio::py::await_(q.attr("put")(item));
  if (Session(self).interrupts() != before && !is_terminal(item))
    keep_nowait(q, [&](nb::handle queued) { return !queued.is(item); });
  co_return nb::none();
}

}  // namespace halvane::avatar::py
