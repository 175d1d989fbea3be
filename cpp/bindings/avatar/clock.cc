// The zephan-2 playout clock: the task that moves the producer's frames from
// the playout queue to the output queue at the frame rate, one picture per
// frame period. It starts an utterance's speech once enough frames are
// buffered to play through until the engine's next chunk is due, repeats the
// last picture when playback runs dry, sends resting frames between
// utterances and forwards the end of the stream.
//
// It also keeps the pictures between producer and consumer bounded, for an
// utterance rendered faster than real time and for a consumer that stopped
// reading: it publishes `_playout_hold`, the pictures it may hold (those it
// buffers and those queued to it; `_Z2_PLAYOUT_HOLD_S` of frames, always more
// than the preroll), and the event `_playout_room`, which it opens while it
// holds fewer and closes otherwise. The producer's hand-over waits before a
// picture while the event is closed, and closes it itself when the playout
// queue alone holds `_playout_hold` items (the clock may be stuck on a full
// output queue and not see them). When the task ends the event is opened and
// removed, so nothing waits on a clock that is gone.
//
// Threading: the task runs on the event loop's thread, beside the producer,
// the consumer of run() and the callers of interrupt() and stop(); it shares
// the playout queue, the output queue and a few attributes with them without
// locks, and hands over only at its awaits. _drop_queued_resting never awaits.
// The decisions (buffer, schedule and wait, start, what each period puts out
// and the picture of its fill frame, reset, stop, room changes) live in
// avatar/playout.h; this file awaits, asks the runtime and does the I/O.
#include <optional>
#include <utility>

#include "avatar/clock.h"
#include "avatar/playout.h"
#include "bindings/avatar/task_run.h"

namespace halvane::avatar::py {

namespace {

using namespace nb::literals;
using aio::Co;

// What the clock holds of an item: the item, and its picture when it is a
// frame with one (what a hold frame repeats).
struct Held {
  nb::object item;
  nb::object bgr;
};
using Clock = PlayoutClock<Held>;

// An item as item_flags() (avatar/playout.h) asks about it; keeps the
// picture it read.
struct ItemProbe {
  nb::handle obj;
  nb::object bgr;
  bool stream_end() const { return is_stream_end(obj); }
  bool terminal() const { return is_terminal(obj); }
  bool frame() const { return is_frame(obj); }
  bool picture() {
    bgr = bgr_of(obj);
    return !bgr.is_none();
  }
  bool end_of_speech() const { return truthy(get(obj, "end_of_speech")); }
};

// Takes in an item, told apart once.
void take(Clock& clock, nb::object obj) {
  ItemProbe probe{obj};
  const ItemFlags f = item_flags(probe);
  clock.take(Held{std::move(obj), std::move(probe.bgr)}, f);
}

aio::Co<nb::object> put_out(nb::handle self, nb::handle item) {
  return put_current(self, Session(self).out_queue(), nb::borrow(item));
}

// The event through which the clock opens and closes the producer's way
// into the playout queue.
struct RoomEvent {
  nb::handle event;
  bool is_open() const { return event_set(event); }
  void open() const { event.attr("set")(); }
  void close() const { event.attr("clear")(); }
};

// The clock itself; returns after it has forwarded _STREAM_END. It awaits
// the queues and asks the runtime; PlayoutClock decides.
Co<nb::object> clock_loop(nb::handle self, nb::object room) {
  Env& e = env();
  nb::object q = Session(self).playout();
  if (q.is_none()) {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
  }
  const double period = 1.0 / as_double(get(self, "_engine_fps"));
  nb::object fixture = Session(self).fixture();
  nb::object spt_of = fixture.is_none() ? nb::object(e.z2_host.attr("SPF")) : get(fixture, "audio_samples_per_tick");
  const long spt = int_of(spt_of);
  const long sample_rate = const_i("_SAMPLE_RATE_HZ");
  const nb::object silence = e.np.attr("zeros")(spt, "dtype"_a = e.np.attr("int16"));
  // The timing and the hold are fixed for the task; the other constants are
  // read again as they are used, as a caller may tune them: the catch-up at
  // every period, the start's while a start is pending.
  PlayoutConfig config;
  config.timing =
      ClockTiming::make(period, spt, sample_rate, const_i("_Z2_CHUNK0_FRAMES"), const_i("_Z2_CHUNK_FRAMES"));
  config.hold = hold_frames(const_f("_Z2_PLAYOUT_HOLD_S"), period, const_i("_Z2_PREROLL_FRAMES"));
  Session(self).set_playout_hold(config.hold);
  auto tuned = [&](bool start_pending) {
    if (start_pending) {
      config.tuning = StartTuning{const_f("_Z2_START_MARGIN_S"), const_f("_Z2_R1_FACTOR")};
      config.preroll_frames = const_i("_Z2_PREROLL_FRAMES");
      config.chunk0_frames = const_i("_Z2_CHUNK0_FRAMES");
      config.chunk_frames = const_i("_Z2_CHUNK_FRAMES");
    }
    config.catchup_s = const_f("_Z2_CATCHUP_S");
    return config;
  };

  // A frame of one tick of silence showing `bgr` (passed on uncopied).
  auto silent = [&](nb::handle bgr) {
    return e.VideoFrame("bgr_image"_a = bgr, "audio_chunk"_a = e.AudioChunk("data"_a = silence,
                                                                           "sample_rate"_a = sample_rate,
                                                                           "last_chunk"_a = false));
  };
  // Seconds of input audio the engine needs before its second chunk, when
  // it can tell.
  auto chunk1_audio_s = [&]() -> std::optional<double> {
    nb::object fn = get_or(Session(self).runtime(), "samples_for_chunk", nb::none());
    if (fn.is_none()) return std::nullopt;
    return or_else([&]() -> std::optional<double> { return as_double(fn(1)) / static_cast<double>(sample_rate); },
                   std::nullopt);
  };
  // The arrival statistics and render times, read fresh for the start test.
  auto start_facts = [&] {
    Arrival arrival;
    const Session s(self);
    nb::object got = s.arr_s();
    arrival.got = truthy(got) ? as_double(got) : 0.0;
    arrival.t0 = s.arr_t0();
    if (s.arr_done()) arrival.t_end = s.arr_t_end();
    return std::make_pair(arrival, RenderTimes{s.z2_r0(), s.z2_steady_s()});
  };

  // The engine's resting picture, if it has one to give now.
  auto engine_resting = [&]() -> std::optional<Held> {
    nb::object rt = Session(self).runtime();
    if (rt.is_none()) return std::nullopt;
    nb::object picture = or_else([&] { return rt.attr("get_source_frame")(-1); }, nb::none());
    if (picture.is_none()) return std::nullopt;
    return Held{nb::none(), std::move(picture)};
  };

  Clock clock(tuned(true), now());
  for (;;) {
    // Take in everything the producer has queued.
    QueueView queued{q};
    take_all(queued, [&](nb::object item) { take(clock, std::move(item)); });

    // An interruption drops the frames and keeps the end of the stream; a
    // stopping session forwards the terminal items only and finishes with
    // the end of the stream.
    const bool interrupted = Session(self).playout_reset();
    if (interrupted) Session(self).set_playout_reset(false);
    Clock::Period first = clock.begin_pass(interrupted, stopped(self));
    for (const Clock::Item& it : first.out) co_await put_out(self, it.payload.item);
    if (first.ends) co_return nb::none();

    RoomEvent room_event{room};
    clock.update_room(nb::cast<long>(q.attr("qsize")()), room_event);

    // Until the next due time, only take in.
    if (const std::optional<double> wait_s = clock.wait_s(now())) {
      nb::object item = co_await get_within(q, *wait_s);
      if (item.is_valid()) take(clock, std::move(item));
      continue;
    }

    clock.retune(tuned(clock.start_pending()));
    Clock::Period p = clock.period(now(), start_facts, chunk1_audio_s);
    if (p.started) self.attr("_drop_queued_resting")();
    for (const Clock::Item& it : p.out) co_await put_out(self, it.payload.item);
    if (p.ends) co_return nb::none();

    std::optional<Held> picture = Clock::fill_picture(p, engine_resting);
    if (!picture) continue;
    nb::object fr = silent(picture->bgr);
    if (p.fill == Clock::Fill::resting) set(fr, "_hv_resting", nb::bool_(true));
    co_await put_out(self, fr);  // a hold or resting frame
  }
}

// The task: the clock, whose own failure is handed to the consumer like a
// producer's (avatar/task_end.h) instead of leaving it waiting on an output
// queue that nothing fills any more.
Co<nb::object> emit_clock(nb::handle self) {
  nb::object room = env().Event();
  room.attr("set")();
  Session(self).set_playout_room(room);
  RunEnded ended;
  try {
    co_await clock_loop(self, room);
  } catch (...) {
    ended = run_ended_now();
  }
  // The clock no longer takes frames: never let the producer wait for it (a
  // later session's clock may have put its own event in place already).
  room.attr("set")();
  if (Session(self).playout_room().is(room)) Session(self).set_playout_room(nb::none());
  co_await end_run(
      self, SessionTask::playout_clock, std::move(ended), [self](nb::object item) { return put_out(self, item); },
      [self](nb::object item) { Session(self).out_queue().attr("put_nowait")(item); });
  co_return nb::none();
}

// Removes the resting frames still waiting in the output queue; every other
// item stays, in its order.
void drop_queued_resting(nb::handle self) {
  keep_nowait(Session(self).out_queue(),
              [](nb::handle item) { return !truthy(get_or(item, "_hv_resting", nb::bool_(false))); });
}

}  // namespace

void add_clock(Members& ns) {
  ns["_emit_clock"] = method([](nb::object self) {
    return aio::py::coroutine(emit_clock(self), "_emit_clock", self);
  });
  ns["_drop_queued_resting"] = method(&drop_queued_resting);
}

}  // namespace halvane::avatar::py
