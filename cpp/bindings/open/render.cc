// Avatar and its render loop: the render generator, the render clock with its
// chunk pass-through, and the RenderStats record.
//
// Per frame, the render generator takes the avatar's turn, makes one call
// into the engine's iterator, reads the clock and counts; everything else
// (the steps before the first frame, the statistics, the short-render check,
// the error mapping) happens once per render. One render of an avatar drives
// its engine at a time (open/render_turns.h): a stale render ends at its next
// step without reaching the engine. The audio intake (_whole_clip, _chunks, _expected_frames),
// RenderStats and the logger _log are globals of the module, looked up at
// each use; the error kinds come from the package's _errors and _session
// modules, imported when a render needs them.
#include <optional>
#include <string>

#include <nanobind/stl/optional.h>

#include "bindings/open/generator.h"
#include "bindings/open/module.h"
#include "bindings/open/outside.h"
#include "bindings/open/turns.h"
#include "common/clock.h"
#include "open/messages.h"
#include "open/render_loop.h"
#include "open/render_turns.h"

namespace halvane::open::py {

using namespace nb::literals;

namespace {


// One avatar bound to its render engine: four attributes and no others; which
// render may drive the engine is its own, not an attribute.
struct Avatar {
  nb::object engine, engine_id, render_stats = nb::none();
  bool closed = false;
  RenderTurns turns{};

  // _release(): the engine is closed once; a close() that fails is not retried.
  // A render still running ends at its next step.
  void release() {
    if (closed) return;
    closed = true;
    turns.close();
    engine.attr("close")();
  }

  void interrupt_engine() { engine.attr("interrupt")(); }

  // __del__(): released, an error of the Exception family swallowed.
  void del() { ignoring_exceptions([&] { release(); }); }

  // The last reference dropped (the collector finalises through __del__).
  ~Avatar() {
    if (!closed && engine.is_valid()) run_unraisable(engine, [this] { del(); });
  }

  template <class F>
  void visit(F&& f) {
    f(engine);
    f(engine_id);
    f(render_stats);
  }
};

nb::object stats_record(const std::optional<RenderStats>& st) {
  if (!st) return nb::none();
  return module_global("RenderStats")(st->frames, st->render_seconds, st->render_fps);
}

// _RenderClock.chunks(it): the items of `it` passed through; the clock's
// first reading is taken when the first one has been drawn.
struct ClockChunks {
  nb::object clock, items;  // items: the iterable, from the first step its iterator
  RenderClock* c;
  bool started = false;

  nb::object next() {
    if (!started) {
      started = true;
      items = nb::iter(items);
    }
    nb::object item = next_item(items);
    if (item.is_valid() && !c->t0) c->chunk_drawn(now_seconds());
    return item;
  }

  template <class F>
  void visit(F&& f) {
    f(clock);
    f(items);
  }
};

nb::object clock_chunks(nb::handle clock, nb::handle items) {
  return generator(ClockChunks{nb::borrow(clock), nb::borrow(items), nb::inst_ptr<RenderClock>(clock)});
}

int64_t as_int64(nb::handle o) {
  const long long v = PyLong_AsLongLong(o.ptr());
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  return v;
}

// The frames whose time a render covered: those delivered, and once one
// was, those the engine left out before it (its `leading_frames`: the
// session engine's frames at rest before speech), with which a video starts.
int64_t covered_frames(nb::handle engine, int64_t delivered) {
  if (delivered == 0) return 0;
  nb::object n = get_or(engine, "leading_frames", nb::handle());
  return delivered + (n.is_valid() && !n.is_none() ? as_int64(n) : 0);
}

// The render generator of one Avatar.render(audio).
struct Render {
  nb::object avatar, audio;  // audio: until the first request
  Avatar* a;
  nb::object clip{}, clock{};
  nb::object frames{};  // what the engine's frames() returned, then its iterator
  nb::object engine_unavailable{}, engine_failed{};
  RenderClock* c = nullptr;
  int64_t delivered = 0;
  RenderTurns::Id id = 0;  // from the first request: this render among the avatar's
  bool iterating = false;

  nb::object next() {
    RenderStep step(&a->turns, &id);
    if (interpreter_exiting()) raise_exiting();
    if (!clock.is_valid()) start();
    nb::object frame;
    {
      auto owed = [a = a] { ignoring_exceptions([&] { a->interrupt_engine(); }); };
      EngineTurn<decltype(owed)> turn(a->turns, owed);
      if (a->turns.stale(id) != RenderTurns::Stale::no) return end_stale();
      if (!frames.is_valid()) begin_frames();
      try {
        if (!iterating) {
          iterating = true;
          frames = nb::iter(frames);
        }
        frame = next_item(frames);
      } catch (nb::python_error& e) {
        // Gone stale during the step (another thread's render began): what
        // the engine did since belongs to the later render.
        if (a->turns.stale(id) == RenderTurns::Stale::no || !e.matches(PyExc_Exception)) left_early(e, true);
      }
    }
    if (interpreter_exiting()) raise_exiting();
    if (a->turns.stale(id) != RenderTurns::Stale::no) return end_stale();
    if (frame.is_valid()) {
      ++delivered;
      c->frame(now_seconds());
      return frame;
    }
    a->turns.finish(id);
    try {
      end();
    } catch (nb::python_error& e) {
      raise_mapped(e);
    }
    return {};
  }

  // An error raised where the generator is suspended (throw(), close(), a
  // reclaim).
  [[noreturn]] void thrown(nb::python_error& e) {
    if (interpreter_exiting()) throw e;
    left_early(e, false);
  }

  template <class F>
  void visit(F&& f) {
    f(avatar);
    f(audio);
    f(clip);
    f(clock);
    f(frames);
    f(engine_unavailable);
    f(engine_failed);
  }

 private:
  // At exit a render ends as its thread does, quietly, by SystemExit, built
  // without running Python code: the thread may not run much longer.
  [[noreturn]] static void raise_exiting() {
    PyErr_SetString(PyExc_SystemExit, kExiting);
    throw nb::python_error();
  }

  // The loop left before the engine's frames ran out, by `e` (an error, or the
  // caller closing the generator): a current render interrupts the engine,
  // and an error of interrupt() takes the place of `e`. Holding the turn, it
  // interrupts at once; otherwise only when nobody holds it (a finaliser never
  // waits, nor enters an engine call in progress): else the interrupt is owed
  // to whoever gives the turn back. A stale render leaves the engine alone.
  [[noreturn]] void left_early(nb::python_error& e, bool holding) {
    if (id == 0 || !a->turns.current(id)) raise_mapped(e);
    a->turns.finish(id);
    const RenderTurns::Thread me = this_thread();
    if (!holding && !a->turns.take_if_free(me)) {
      a->turns.owe_interrupt();
      raise_mapped(e);
    }
    try {
      a->interrupt_engine();
    } catch (nb::python_error& later) {
      if (!holding) a->turns.give(me);
      if (!later.value().is(e.value())) PyException_SetContext(later.value().ptr(), e.value().inc_ref().ptr());
      raise_mapped(later);
    }
    if (!holding) a->turns.give(me);
    raise_mapped(e);
  }

  // The steps before the loop; their errors reach the caller as they are.
  // Once the audio is in hand, this render becomes the avatar's current one.
  void start() {
    if (a->closed) raise_error(outside("_errors").attr("Failed"), nb::str(kAvatarClosed));
    nb::module_ session = outside("_session");
    engine_unavailable = session.attr("EngineUnavailable");
    engine_failed = session.attr("EngineFailed");
    clip = module_global("_whole_clip")(audio);
    clock = nb::cast(RenderClock());
    c = nb::inst_ptr<RenderClock>(clock);
    id = a->turns.begin();
  }

  // The engine's frames(), holding the turn; its errors reach the caller as
  // they are, the render no longer current.
  void begin_frames() {
    try {
      nb::object frames_of = a->engine.attr("frames");
      frames = frames_of(clock_chunks(clock, module_global("_chunks")(audio, clip)));
    } catch (nb::python_error&) {
      a->turns.finish(id);
      throw;
    }
    audio.reset();
  }

  // The render went stale: it ends without reaching the engine. Complete by
  // the audio's count, it ends as it is; otherwise it reports that it stopped
  // early, and why.
  nb::object end_stale() {
    nb::handle engine = a->engine;
    nb::object fps = get_or(engine, "frames_per_second", nb::handle());
    nb::object expected = module_global("_expected_frames")(clip, fps.is_valid() ? fps : nb::none());
    const std::string id_text = utf8(a->engine_id);
    const char* why = a->turns.stale(id) == RenderTurns::Stale::closed ? kClosedUnder : kSuperseded;
    if (expected.is_none())
      raise_error(refused("Failed", text(stopped_early_uncounted_message(delivered)),
                          text(stopped_early_uncounted_detail(id_text, delivered, why))));
    const int64_t exp = as_int64(expected);
    const ShortCheck check = short_check(covered_frames(engine, delivered), exp);
    if (!check.short_render) return {};
    const std::string detail =
        stopped_early_detail(id_text, delivered, exp, *check.floor, fps.is_valid() ? utf8(fps) : "?", why);
    raise_error(refused("Failed", text(stopped_early_message(delivered, exp)), text(detail)));
  }

  // The engine's frames ran out: the statistics stored and logged, then the
  // short-render check.
  void end() {
    const std::optional<RenderStats> st = c->stats();
    a->render_stats = stats_record(st);
    if (st) module_global("_log").attr("info")(kStatsLog, st->frames, st->render_seconds, st->render_fps);

    nb::handle engine = a->engine;
    nb::object fps = get_or(engine, "frames_per_second", nb::handle());
    nb::object expected = module_global("_expected_frames")(clip, fps.is_valid() ? fps : nb::none());
    std::optional<int64_t> exp;
    if (!expected.is_none()) exp = as_int64(expected);
    const ShortCheck check = short_check(covered_frames(engine, delivered), exp);
    if (!check.short_render) return;
    const std::string id = utf8(a->engine_id);
    if (delivered == 0) raise_error(refused("Failed", text(NO_FRAMES_MESSAGE), text(no_frames_detail(id))));
    nb::object reason = get_or(engine, "stop_reason", nb::handle());
    const std::string detail = stopped_early_detail(id, delivered, *exp, *check.floor, fps.is_valid() ? utf8(fps) : "?",
                                                    reason.is_valid() ? utf8(reason) : kReasonNotRecorded);
    raise_error(refused("Failed", text(stopped_early_message(delivered, *exp)), text(detail)));
  }

  // An error of the loop or after it, as the caller sees it: the package's
  // own kinds and everything outside the Exception family unchanged, the
  // session engine's two kinds and any other Exception as refusals raised
  // without their cause.
  [[noreturn]] void raise_mapped(const nb::python_error& e) {
    if (!e.matches(PyExc_Exception) || e.matches(outside("_errors").attr("AvatarError"))) throw e;
    const nb::handle v = e.value();
    const bool unavailable = e.matches(engine_unavailable);
    if (unavailable || e.matches(engine_failed)) {
      // An error without args or `detail` gives its text and no detail.
      nb::object args = v.attr("args");
      nb::object message = nb::len(args) > 0 ? nb::object(args[0]) : nb::object(nb::str(v));
      nb::object detail = nb::getattr(v, "detail", nb::none());
      raise_from_none(refused(unavailable ? "NotSupported" : "Failed", message, detail), e);
    }
    raise_from_none(refused("Failed", nb::str(kRenderStopped), v), e);
  }
};

nb::object render_frames(nb::handle avatar, nb::handle audio) {
  return generator(Render{nb::borrow(avatar), nb::borrow(audio), nb::inst_ptr<Avatar>(avatar)});
}

// The text of an output path: text unchanged, a bytes or path-like path as
// the file system names it, anything else by its text form.
nb::object path_text(nb::handle p) {
  if (PyUnicode_Check(p.ptr())) return nb::borrow(p);
  try {
    return nb::module_::import_("os").attr("fsdecode")(p);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    return nb::str(p);
  }
}

}  // namespace

// The exit hook: from now on no render step calls anything; the steps under
// way on other threads are given a few seconds to end, while those threads
// can still run.
void run_down() {
  RunDown& r = run_down_state();
  r.exiting = true;
  // What the renders still hold is kept from here on, on purpose: no report
  // of it as a leak.
  nb::set_leak_warnings(false);
  {
    std::lock_guard<std::mutex> lk(r.m);
  }
  r.turn_given.notify_all();
  nb::gil_scoped_release unlocked;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::unique_lock<std::mutex> lk(r.m);
  while (r.steps.load() > 0 && std::chrono::steady_clock::now() < deadline)
    r.turn_given.wait_for(lk, std::chrono::milliseconds(5));
}

void bind_render(nb::module_& m) {
  m.def("_run_down", &run_down, "Ends the renders in flight before the interpreter exits; called at exit.");
  nb::module_::import_("atexit").attr("register")(m.attr("_run_down"));
  m.attr("RenderStats") = nb::module_::import_("collections").attr("namedtuple")(
      "RenderStats", nb::make_tuple("frames", "render_seconds", "render_fps"), "module"_a = m.attr("__name__"));
  m.attr("RenderStats").attr("__doc__") = "Statistics of one render: frames, render_seconds, render_fps.";
  m.attr("_SHORT_FRAC") = SHORT_FRAC;
  m.attr("_log") = nb::module_::import_("logging").attr("getLogger")("halvane");

  nb::class_<RenderClock>(m, "_RenderClock", "The clock of one render: _RenderClock()")
      .def(nb::init<>())
      .def_rw("_t0", &RenderClock::t0, "clock reading when the first audio chunk was drawn, or None")
      .def_rw("_t1", &RenderClock::t1, "clock reading when the latest frame was received, or None")
      .def_rw("_n", &RenderClock::n, "frames counted so far")
      .def("chunks", &clock_chunks, "it"_a.none(), "The items of `it` passed through, timing the first one drawn.")
      .def("frame", [](RenderClock& c) { c.frame(now_seconds()); }, "A frame arrived now.")
      .def("stats", [](const RenderClock& c) { return stats_record(c.stats()); },
           "RenderStats of the render so far, or None.");
  bind_generator<ClockChunks>(m, "_ClockChunks");
  bind_generator<Render>(m, "_RenderFrames");

  nb::class_<Avatar>(m, "Avatar", nb::type_slots(gc_slots<Avatar>()),
                     "One avatar bound to its render engine: Avatar(engine, engine_id)")
      .def(
          "__init__",
          [](Avatar* a, nb::object engine, nb::object engine_id) { new (a) Avatar{engine, engine_id}; },
          "engine"_a.none(), "engine_id"_a.none())
      .def_rw("_engine", &Avatar::engine, none_too(), "the engine that renders this avatar")
      .def_rw("_engine_id", &Avatar::engine_id, none_too(), "the avatar's engine id")
      .def_rw("_closed", &Avatar::closed, "true once released")
      .def_rw("_render_stats", &Avatar::render_stats, none_too(),
              "RenderStats of the last render that ran to its end, or None")
      .def(
          "render",
          [](nb::handle self, nb::handle audio, nb::handle out_mp4) {
            if (out_mp4.is_none()) return render_frames(self, audio);
            nb::object path = path_text(out_mp4);
            return outside("__main__").attr("_write")(self, audio, path);
          },
          "audio"_a.none(), "out_mp4"_a.none() = nb::none(),
          // With out_mp4 it returns what _write returns; typed Any, so that
          // a type checker still sees the frames of `for f in render(audio)`.
          nb::sig("def render(self, audio: bytes | numpy.ndarray | str | os.PathLike[str] | "
                  "collections.abc.Iterable[bytes | numpy.ndarray | str | os.PathLike[str]], "
                  "out_mp4: str | os.PathLike[str] | None = None) -> "
                  "collections.abc.Generator[numpy.ndarray, None, None] | typing.Any"),
          "A lazy generator of RGB frames, or with out_mp4 an MP4 file written now (its path returned).")
      .def("_render_frames", &render_frames, "audio"_a.none(), "The render generator.")
      .def("__enter__", [](nb::handle self) { return nb::borrow(self); }, nb::sig("def __enter__(self) -> Avatar"),
           "The avatar itself, closed when the with block ends.")
      .def("__exit__", [](Avatar& a, nb::args) { a.release(); return false; },
           nb::sig("def __exit__(self, *exc: object) -> bool"), "Closes the engine; an error of the block goes on.")
      .def("_release", &Avatar::release, "Closes the engine, once.")
      .def("__del__", &Avatar::del);
}

}  // namespace halvane::open::py
