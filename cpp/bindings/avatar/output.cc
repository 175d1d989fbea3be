// The output side of a live session: run() and the asynchronous iterator
// behind it, which starts the session's tasks on its first step and hands the
// caller what the producer (or the playout clock) puts on the output queue;
// sync_to() and the sink readers of its playback-synchronised mode, in which
// a frame's picture is held back until its voice starts playing.
//
// Threading: everything runs on the event loop's thread with the GIL held.
// The iterator shares the output queue and the pending pictures with the
// other tasks of the session only at its awaits; nothing here blocks.
#include <Python.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "avatar/output.h"
#include "avatar/sync.h"
#include "bindings/avatar/session.h"
#include "bindings/common/errors.h"

namespace halvane::avatar::py {

namespace {

using aio::AsyncGen;
using aio::Co;

constexpr const char* kNoFixture = "AsyncAvatar: no fixture loaded. Call create(model_path=...).";
constexpr const char* kBadSink =
    "sync_to() needs the LiveKit plugin's AvatarSession (after start()), an AvatarRunner, its AVSynchronizer, "
    "an rtc.AudioSource or a function returning the seconds of audio queued; got ";

nb::object create_task(nb::handle coro) { return env().asyncio.attr("create_task")(coro); }
nb::object create_task(nb::handle coro, const char* name) {
  return env().asyncio.attr("create_task")(coro, nb::arg("name") = name);
}


// The task that puts on the output queue: the playout clock when the stream
// has one, else the producer. None when the session has neither.
nb::object feeder(nb::handle self) {
  const Session s = Session::tolerant(self);
  nb::object clock = s.emitter_task();
  return clock.is_none() ? s.producer_task() : clock;
}

bool feeder_alive(nb::handle self) {
  nb::object t = feeder(self);
  return !t.is_none() && !task_done(t);
}

// Whether an end-of-stream item just taken from `q` is a stale one
// (avatar/output.h), read lazily in the order the rule reads.
bool stale_end(nb::handle self, nb::handle q) {
  const bool empty = truthy(q.attr("empty")());
  // The session's tasks are looked at only when nothing follows the end.
  const bool running = empty && Session::tolerant(self).running();
  return end_is_stale(empty, running, running && feeder_alive(self));
}

// What the iterator decides on about an item; the frame's fields are looked
// at only when the playback-synchronised mode could split it.
OutItem out_item(nb::handle item, bool reader_set) {
  OutItem it;
  it.stream_end = is_stream_end(item);
  it.failure = !it.stream_end && PyExceptionInstance_Check(item.ptr());
  if (it.stream_end || it.failure || !reader_set) return it;
  int r = PyObject_IsInstance(item.ptr(), env().VideoFrame.ptr());
  if (r < 0) throw nb::python_error();
  it.frame = r == 1;
  it.picture = it.frame && !get(item, "bgr_image").is_none();
  it.audio = it.picture && !get(item, "audio_chunk").is_none();
  return it;
}

// The sink's reading, in seconds; an ordinary failure of the reader or of
// the conversion counts as nothing queued.
double read_queued(nb::handle reader) {
  try {
    nb::object f = nb::steal(PyNumber_Float(reader().ptr()));
    if (!f.is_valid()) throw nb::python_error();
    return queued_seconds(PyFloat_AsDouble(f.ptr()));
  } catch (nb::python_error& e) {
    if (!ordinary(e)) throw;
    return 0.0;
  }
}

// A producer that ended while the playout clock runs may have ended without
// its end-of-stream item (cancelled before it ran, or killed by an error it
// could not forward): the clock would pace resting frames for ever. Its
// failure, if any, and the end of the stream are put behind what the clock
// holds, once per producer. When the producer did put its own, the clock
// ends at that one and the second is never read.
void seal_playout(nb::handle self, nb::object& sealed) {
  const Session s = Session::tolerant(self);
  nb::object producer = s.producer_task();
  nb::object clock = s.emitter_task();
  nb::object playout = s.playout();
  if (producer.is_none() || producer.is(sealed) || !task_done(producer)) return;
  if (clock.is_none() || task_done(clock) || playout.is_none()) return;
  sealed = producer;
  if (!truthy(producer.attr("cancelled")())) {
    nb::object failure = producer.attr("exception")();
    if (!failure.is_none()) playout.attr("put_nowait")(failure);
  }
  playout.attr("put_nowait")(env().stream_end);
}

[[noreturn]] void raise_item(nb::handle error) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw nb::python_error();
}

// q.get(), with the interrupt count read in the step the item left the
// queue: (item, count).
Co<nb::object> counted_get(nb::handle self, nb::object q) {
  nb::object item = co_await aio::py::await_(q.attr("get")());
  co_return nb::make_tuple(item, Session(self).interrupts());
}

// The iterator's outstanding read of the output queue; cancelled whenever
// the iterator ends, also when its frame is dropped unfinished.
struct OutstandingRead {
  nb::object task;
  explicit operator bool() const { return task.is_valid(); }
  // The item read, and the interrupt count when it was taken.
  std::pair<nb::object, long> take() {
    nb::object t = std::move(task);
    task = nb::object();
    nb::object got = t.attr("result")();
    return {nb::object(got[0]), nb::cast<long>(nb::object(got[1]))};
  }
  ~OutstandingRead() {
    if (!task.is_valid()) return;
    halvane::py::run_unraisable(nb::handle(), [this] {
      if (!task_done(task)) task.attr("cancel")();
    });
  }
};

Co<nb::object> ensure_running(nb::handle self) {
  Env& e = env();
  const Session s(self);
  if (s.fixture().is_none() || s.runtime().is_none()) raise_(e.RuntimeNotReadyError, kNoFixture);
  if (s.running()) co_return nb::none();

  // Nothing of an earlier session may end this one: end-of-stream items it
  // left behind are dropped, everything else keeps its place.
  keep_nowait(s.out_queue(), [](nb::handle item) { return !is_stream_end(item); });
  // Nor the end-of-speech control that stop() queued for a producer that had
  // already ended: it would start this session with a marker of no utterance.
  nb::object stop_eos = s.stop_control();
  if (!stop_eos.is_none()) {
    s.set_stop_control(nb::none());
    keep_nowait(s.in_queue(), [&](nb::handle item) { return !item.is(stop_eos); });
  }

  s.set_stop_event(e.Event());
  s.set_interrupt_event(e.Event());
  s.set_running(true);
  if (truthy(self.attr("_is_z2_stream")())) {
    s.set_playout(e.Queue());
    s.set_playout_reset(false);
    s.set_emitter_task(create_task(self.attr("_emit_clock")(), "halvane-z2-playout-clock"));
  }
  s.set_producer_task(create_task(self.attr("_produce_frames")(), "halvane-ostrel-async-producer"));
  co_return nb::none();
}

AsyncGen<nb::object> run_iter(nb::handle self) {
  Env& e = env();
  co_await call(self, "_ensure_running");

  const Session s(self);
  nb::object q = s.out_queue();
  nb::object pend = s.sync_pend();
  OutstandingRead nxt;
  nb::object sealed = nb::none();  // the producer whose end was sealed
  std::exception_ptr cancelled;
  bool waiting = false;  // a cancellation that arrives here is the consumer's

  auto pending = [&] { return PyObject_Length(pend.ptr()) > 0; };
  auto head_due = [&] { return nb::cast<double>(nb::object(nb::object(pend[0])[0])); };

  try {
    for (;;) {
      nb::object item;
      long taken_at = s.interrupts();  // the interrupt count when the item left the queue
      bool ended = false;  // the stream has no feeder left and nothing queued
      seal_playout(self, sealed);
      if (!nxt && !truthy(q.attr("empty")())) {
        item = q.attr("get_nowait")();
      } else {
        if (!nxt)
          nxt.task = create_task(aio::py::coroutine(counted_get(self, q), "_counted_get", nb::borrow(self)));
        nb::list waits;
        waits.append(nxt.task);
        nb::object source = feeder(self);
        bool alive = !source.is_none() && !task_done(source);
        if (alive) waits.append(source);
        nb::object producer = Session::tolerant(self).producer_task();
        if (!producer.is_none() && !producer.is(source) && !producer.is(sealed) && !task_done(producer))
          waits.append(producer);
        if (alive || !truthy(q.attr("empty")()) || task_done(nxt.task)) {
          const std::optional<double> wait_s =
              pend_wait_s(pending() ? std::optional<double>(head_due()) : std::nullopt, now());
          nb::object timeout = wait_s ? nb::object(nb::float_(*wait_s)) : nb::none();
          waiting = true;
          co_await aio::py::await_(
              e.wait(waits, nb::arg("timeout") = timeout, nb::arg("return_when") = e.FIRST_COMPLETED));
          waiting = false;
        }
        if (task_done(nxt.task)) {
          std::tie(item, taken_at) = nxt.take();
        } else if (!feeder_alive(self) && truthy(q.attr("empty")())) {
          // Whatever fed the queue ended without its end-of-stream item
          // reaching it: nothing will come any more.
          nb::object t = feeder(self);
          if (!t.is_none() && task_done(t) && !truthy(t.attr("cancelled")())) {
            nb::object failure = t.attr("exception")();
            if (!failure.is_none()) raise_item(failure);
          }
          ended = true;
        }
      }

      // Pictures whose time has come leave first, strictly in order.
      while (pending() && head_due() <= now()) {
        nb::object head = pend.attr("popleft")();
        co_yield nb::object(head[1]);
      }
      if (!item.is_valid() && !ended) continue;

      OutAction action = OutAction::finish;
      nb::object reader;
      if (!ended) {
        reader = s.audio_queued();
        action = output_action(out_item(item, !reader.is_none()), !reader.is_none(), s.interrupts() != taken_at,
                               [&] { return stale_end(self, q); });
      }
      if (action == OutAction::skip || action == OutAction::drop) continue;
      if (action == OutAction::raise) raise_item(item);
      if (action == OutAction::finish) {
        while (pending()) {
          nb::object head = pend.attr("popleft")();
          waiting = true;
          co_await aio::py::await_(e.sleep(std::max(nb::cast<double>(head[0]) - now(), 0.0)));
          waiting = false;
          co_yield nb::object(head[1]);
        }
        co_return;
      }
      if (action == OutAction::split) {
        nb::object ac = get(item, "audio_chunk");
        co_yield nb::object(e.dc_replace(item, nb::arg("bgr_image") = nb::none()));
        // The consumer has handled the voice and asks for more: the sink now
        // holds it, at the end of what it has queued.
        // An interrupt while the consumer had the voice abandons its picture.
        if (s.interrupts() != taken_at) continue;
        double queued = read_queued(reader);
        double t = now();
        long samples = nb::cast<long>(get(get(ac, "data"), "size"));
        nb::object rate = nb::steal(PyNumber_Float(get(ac, "sample_rate").ptr()));
        if (!rate.is_valid()) throw nb::python_error();
        if (PyFloat_AsDouble(rate.ptr()) == 0.0) raise_(nb::handle(PyExc_ZeroDivisionError), "float division by zero");
        double due = picture_release_time(t, queued, samples, PyFloat_AsDouble(rate.ptr()), const_f("_SYNC_LEAD_S"));
        nb::object picture =
            e.dc_replace(item, nb::arg("audio_chunk") = nb::none(), nb::arg("end_of_speech") = false);
        pend.attr("append")(nb::make_tuple(due, picture));
        continue;
      }
      co_yield item;
    }
  } catch (nb::python_error& err) {
    if (!waiting || !err.matches(e.CancelledError)) throw;
    cancelled = std::current_exception();
  }
  // The consumer was cancelled while it waited: the session is stopped
  // before the cancellation goes on.
  if (nxt) {
    nxt.task.attr("cancel")();
    nxt.task = nb::object();
  }
  co_await call(self, "stop");
  std::rethrow_exception(cancelled);
}

// A function of no arguments giving the seconds of audio that `sink` holds
// and has not played yet.
nb::object queued_reader(nb::object sink) {
  nb::object absent = nb::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  auto has = [&](nb::handle o, const char* name) { return !get_or(o, name, absent).is(absent); };
  if (PyCallable_Check(sink.ptr()) && !has(sink, "queued_duration")) return sink;
  nb::object src = sink;
  for (const char* link : {"_avatar_runner", "av_sync", "_audio_source"}) {
    nb::object next = get_or(src, link, nb::none());
    if (!next.is_none()) src = next;
  }
  if (!has(src, "queued_duration")) {
    std::string got = nb::cast<std::string>(py::type_name(sink));
    raise_(nb::handle(PyExc_TypeError), kBadSink + got);
  }
  // A partial object, not a C++ closure: the collector sees the sink through
  // it, so a sink that refers back to the avatar does not keep both alive.
  return nb::module_::import_("functools").attr("partial")(nb::module_::import_("builtins").attr("getattr"), src,
                                                           "queued_duration");
}

}  // namespace

void add_output(nb::module_& m, Members& ns) {
  m.def("_queued_reader", &queued_reader, nb::arg("sink"));
  ns["run"] = method([](nb::object self) { return self.attr("_run_iter")(); });
  ns["_run_iter"] =
      method([](nb::object self) { return aio::py::async_iterator(run_iter(self), "_run_iter", self); });
  ns["sync_to"] = method(
      [](nb::object self, nb::object sink) {
        Session(self).set_audio_queued(sink.is_none() ? nb::none() : queued_reader(sink));
      },
      nb::arg("sink").none());
  ns["_ensure_running"] = method(
      [](nb::object self) { return aio::py::coroutine(ensure_running(self), "_ensure_running", self); });
}

}  // namespace halvane::avatar::py
