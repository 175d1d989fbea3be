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

#include <nanobind/stl/optional.h>

#include "avatar/output.h"
#include "avatar/start.h"
#include "avatar/sync.h"
#include "bindings/avatar/messages.h"
#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

namespace {

using aio::AsyncGen;
using aio::Co;


nb::object create_task(nb::handle coro) { return env().asyncio.attr("create_task")(coro); }
nb::object create_task(nb::handle coro, const char* name) {
  return env().asyncio.attr("create_task")(coro, nb::arg("name") = name);
}

// The session's tasks, read at one moment, and the facts the core decides on.
struct Tasks {
  nb::object clock, producer, playout;
  SessionTasks facts;

  Tasks(nb::handle self, nb::handle sealed) {
    const Session s = Session::tolerant(self);
    clock = s.emitter_task();
    producer = s.producer_task();
    playout = s.playout();
    facts.clock = state(clock);
    facts.producer = state(producer);
    facts.producer_sealed = producer.is(sealed);
    facts.playout = !playout.is_none();
  }
  nb::handle task(Role r) const { return r == Role::clock ? clock : producer; }
  nb::handle feeder() const { return task(avatar::feeder(facts)); }

  static TaskState state(nb::handle t) {
    TaskProbe probe{t};
    return task_state(probe);
  }
};

// An item as output_action asks about it.
struct ItemView {
  nb::handle item;
  bool stream_end() const { return is_stream_end(item); }
  bool failure() const { return PyExceptionInstance_Check(item.ptr()); }
  bool frame() const { return is_frame(item); }
  bool picture() const { return !bgr_of(item).is_none(); }
  bool audio() const { return !get(item, "audio_chunk").is_none(); }
};

// The session's deque of (release time, picture-only frame), as the store
// of PendingPictures.
struct PendStore {
  using Picture = nb::object;
  nb::object deque;
  bool empty() const { return PyObject_Length(deque.ptr()) <= 0; }
  double front_due() const { return nb::cast<double>(nb::object(nb::object(deque[0])[0])); }
  std::pair<double, nb::object> pop_front() {
    nb::object head = deque.attr("popleft")();
    return {nb::cast<double>(nb::object(head[0])), nb::object(head[1])};
  }
  void push_back(double due, nb::handle picture) { deque.attr("append")(nb::make_tuple(due, picture)); }
};

// Whether an end-of-stream item just taken from `q` is a stale one.
bool stale_end(nb::handle self, nb::handle q, nb::handle sealed) {
  return end_is_stale(truthy(q.attr("empty")()), Session::tolerant(self).running(),
                      feeder_alive(Tasks(self, sealed).facts));
}

// The sink's reading, in seconds; an ordinary failure of the reader or of
// the conversion counts as nothing queued.
double read_queued(nb::handle reader) {
  return or_else([&] { return queued_seconds(float_of(reader())); }, 0.0);
}

// Puts the end of a dead producer behind what the playout clock holds
// (avatar/output.h, seal_playout), and remembers that producer as sealed.
void seal(const Tasks& t, Seal how, nb::object& sealed) {
  sealed = t.producer;
  if (how == Seal::failure_then_end) {
    nb::object failure = t.producer.attr("exception")();
    if (!failure.is_none()) t.playout.attr("put_nowait")(failure);
  }
  t.playout.attr("put_nowait")(env().stream_end);
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
  void start(nb::handle self, nb::handle q) {
    if (!task.is_valid())
      task = create_task(aio::py::coroutine(counted_get(self, nb::borrow(q)), "_counted_get", nb::borrow(self)));
  }
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

// The session as avatar::start_session asks and starts it.
struct StartSteps {
  nb::handle self;
  Session s;
  nb::object stop_eos = nb::none();

  bool has_fixture() const { return !s.fixture().is_none(); }
  bool has_runtime() const { return !s.runtime().is_none(); }
  bool running() const { return s.running(); }
  void drop_stream_ends() const {
    keep_nowait(s.out_queue(), [](nb::handle item) { return !is_stream_end(item); });
  }
  bool stop_control_left() {
    stop_eos = s.stop_control();
    return !stop_eos.is_none();
  }
  void drop_stop_control() const {
    s.set_stop_control(nb::none());
    keep_nowait(s.in_queue(), [&](nb::handle item) { return !item.is(stop_eos); });
  }
  void mark_running() const {
    Env& e = env();
    s.set_stop_event(e.Event());
    s.set_interrupt_event(e.Event());
    s.set_running(true);
  }
  bool zephan2_stream() const { return truthy(self.attr("_is_z2_stream")()); }
  void start_clock() const {
    s.set_playout(env().Queue());
    s.set_playout_reset(false);
    s.set_emitter_task(create_task(self.attr("_emit_clock")(), "halvane-z2-playout-clock"));
  }
  void start_producer() const {
    s.set_producer_task(create_task(self.attr("_produce_frames")(), "halvane-ostrel-async-producer"));
  }
};

Co<nb::object> ensure_running(nb::handle self) {
  adopt_running_loop(self);
  StartSteps steps{self, Session(self)};
  if (start_session(steps) == Start::not_ready) raise_(env().RuntimeNotReadyError, msg::kNoFixture);
  co_return nb::none();
}

// The iterator: a driver that reads the queue, the tasks and the clock, and
// does what the core (avatar/output.h) decides.
AsyncGen<nb::object> run_iter(nb::handle self) {
  Env& e = env();
  co_await call(self, "_ensure_running");

  const Session s(self);
  nb::object q = s.out_queue();
  PendingPictures<PendStore> pend(PendStore{s.sync_pend()});
  OutstandingRead nxt;
  nb::object sealed = nb::none();  // the producer whose end was sealed
  std::exception_ptr cancelled;
  bool waiting = false;  // a cancellation that arrives here is the consumer's

  try {
    for (;;) {
      nb::object item;
      long taken_at = s.interrupts();  // the interrupt count when the item left the queue
      Read read = Read::item;
      const Tasks tasks(self, sealed);
      const Seal how = seal_playout(tasks.facts);
      if (how != Seal::none) seal(tasks, how, sealed);
      const bool queued = !truthy(q.attr("empty")());
      if (take_at_once(bool(nxt), queued)) {
        item = q.attr("get_nowait")();
      } else {
        nxt.start(self, q);
        const WaitPlan plan = wait_plan(tasks.facts, queued, task_done(nxt.task));
        if (plan.wait) {
          nb::list on;
          on.append(nxt.task);
          if (plan.on_feeder) on.append(tasks.feeder());
          if (plan.on_producer) on.append(tasks.producer);
          waiting = true;
          co_await aio::py::await_(e.wait(on, nb::arg("timeout") = nb::cast(pend.wait_s(now())),
                                          nb::arg("return_when") = e.FIRST_COMPLETED));
          waiting = false;
        }
        std::optional<Tasks> after;  // read afresh only for a read not done
        read = after_wait(
            task_done(nxt.task), [&] { return after.emplace(self, sealed).facts; },
            [&] { return truthy(q.attr("empty")()); });
        if (read == Read::item) std::tie(item, taken_at) = nxt.take();
        if (read == Read::failed) {
          // The feeder ended by itself without its end-of-stream item.
          nb::object failure = after->feeder().attr("exception")();
          if (!failure.is_none()) raise_error(failure);
        }
      }

      // Pictures whose time has come leave first, strictly in order.
      while (std::optional<nb::object> picture = pend.release_due(now())) co_yield std::move(*picture);

      nb::object reader = s.audio_queued();
      const OutAction action = step_action(read, ItemView{item}, !reader.is_none(), s.interrupts() != taken_at,
                                           [&] { return stale_end(self, q, sealed); });
      if (action == OutAction::finish) {
        while (std::optional<PendingPictures<PendStore>::Held> held = pend.take()) {
          waiting = true;
          co_await aio::py::await_(e.sleep(pend.until(held->due, now())));
          waiting = false;
          co_yield std::move(held->picture);
        }
        co_return;
      }
      if (action == OutAction::raise) raise_error(item);
      if (action == OutAction::pass) co_yield item;
      if (action == OutAction::split) {
        nb::object ac = get(item, "audio_chunk");
        co_yield nb::object(e.dc_replace(item, nb::arg("bgr_image") = nb::none()));
        // The consumer has handled the voice and asks for more: the sink now
        // holds it, at the end of what it has queued.
        // An interrupt while the consumer had the voice abandons its picture.
        if (s.interrupts() != taken_at) continue;
        double queued_s = read_queued(reader);
        double t = now();
        long samples = nb::cast<long>(get(get(ac, "data"), "size"));
        double rate = float_of(get(ac, "sample_rate"));
        double due = picture_release_time(t, queued_s, samples, rate, const_f("_SYNC_LEAD_S"));
        pend.hold(due, e.dc_replace(item, nb::arg("audio_chunk") = nb::none(), nb::arg("end_of_speech") = false));
      }
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

// What queued_source() (avatar/output.h) asks of a sink and its links.
struct SinkProbe {
  nb::object absent = nb::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  bool callable(nb::handle o) const { return PyCallable_Check(o.ptr()) == 1; }
  bool has_queued_duration(nb::handle o) const { return !get_or(o, "queued_duration", absent).is(absent); }
  std::optional<nb::object> link(nb::handle o, const char* name) const {
    nb::object next = get_or(o, name, nb::none());
    return next.is_none() ? std::nullopt : std::optional<nb::object>(next);
  }
};

// A function of no arguments giving the seconds of audio that `sink` holds
// and has not played yet.
nb::object queued_reader(nb::object sink) {
  SinkProbe probe;
  const SinkSource<nb::object> found = queued_source(sink, probe);
  if (found.how == SinkRead::call) return sink;
  if (found.how == SinkRead::unusable) {
    std::string got = nb::cast<std::string>(py::type_name(sink));
    raise_(nb::handle(PyExc_TypeError), msg::kBadSink + got);
  }
  // A partial object, not a C++ closure: the collector sees the sink through
  // it, so a sink that refers back to the avatar does not keep both alive.
  return nb::module_::import_("functools").attr("partial")(nb::module_::import_("builtins").attr("getattr"),
                                                           found.source, "queued_duration");
}

}  // namespace

void add_output(nb::module_& m, Members& ns) {
  m.def("_queued_reader", &queued_reader, nb::arg("sink"));
  ns["run"] = method([](nb::object self) { return self.attr("_run_iter")(); },
                     nb::sig("def run(self) -> collections.abc.AsyncIterator[halvane._models.VideoFrame]"),
                     "The session's frames; the first step starts the session.");
  ns["_run_iter"] =
      method([](nb::object self) { return aio::py::async_iterator(run_iter(self), "_run_iter", self); });
  ns["sync_to"] = method(
      [](nb::object self, nb::object sink) {
        Session(self).set_audio_queued(sink.is_none() ? nb::none() : queued_reader(sink));
      },
      nb::arg("sink").none(),
      nb::sig("def sync_to(self, sink: collections.abc.Callable[[], float] | object | None) -> None"),
      "Releases each picture when its voice starts playing from sink (seconds queued; None: no sync).");
  ns["_ensure_running"] = method(
      [](nb::object self) { return aio::py::coroutine(ensure_running(self), "_ensure_running", self); });
}

}  // namespace halvane::avatar::py
