// Avatar and its render loop: the render generator, the render clock with its
// chunk pass-through, and the RenderStats record.
//
// Per frame, the render generator makes one call into the engine's iterator,
// reads the clock and counts; everything else (the steps before the first
// frame, the statistics, the short-render check, the error mapping) happens
// once per render. The audio intake (_whole_clip, _chunks, _expected_frames),
// RenderStats and the logger _log are globals of the module, looked up at
// each use; the error kinds come from the package's _errors and _session
// modules, imported when a render needs them.
#include <optional>
#include <string>

#include <nanobind/stl/optional.h>

#include "bindings/open/generator.h"
#include "bindings/open/module.h"
#include "bindings/open/outside.h"
#include "common/clock.h"
#include "open/messages.h"
#include "open/render_loop.h"

namespace halvane::open::py {

using namespace nb::literals;

namespace {


// One avatar bound to its render engine: four attributes and no others.
struct Avatar {
  nb::object engine, engine_id, render_stats = nb::none();
  bool closed = false;

  // _release(): the engine is closed once; a close() that fails is not retried.
  void release() {
    if (closed) return;
    closed = true;
    engine.attr("close")();
  }

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

// The render generator of one Avatar.render(audio).
struct Render {
  nb::object avatar, audio;  // audio: until the first request
  Avatar* a;
  nb::object clip{}, clock{};
  nb::object frames{};  // what the engine's frames() returned, then its iterator
  nb::object engine_unavailable{}, engine_failed{};
  RenderClock* c = nullptr;
  int64_t delivered = 0;
  bool iterating = false;

  nb::object next() {
    if (!clock.is_valid()) start();
    try {
      if (!iterating) {
        iterating = true;
        frames = nb::iter(frames);
      }
      nb::object frame = next_item(frames);
      if (frame.is_valid()) {
        ++delivered;
        c->frame(now_seconds());
        return frame;
      }
    } catch (nb::python_error& e) {
      thrown(e);
    }
    try {
      end();
    } catch (nb::python_error& e) {
      raise_mapped(e);
    }
    return {};
  }

  // The loop left before the engine's frames ran out, by `e` (an error, or the
  // caller closing the generator): the engine is interrupted, and an error of
  // interrupt() takes the place of `e`.
  [[noreturn]] void thrown(nb::python_error& e) {
    try {
      a->engine.attr("interrupt")();
    } catch (nb::python_error& later) {
      if (!later.value().is(e.value())) PyException_SetContext(later.value().ptr(), e.value().inc_ref().ptr());
      raise_mapped(later);
    }
    raise_mapped(e);
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
  // The steps before the loop; their errors reach the caller as they are.
  void start() {
    if (a->closed) raise_error(outside("_errors").attr("Failed"), nb::str(kAvatarClosed));
    nb::module_ session = outside("_session");
    engine_unavailable = session.attr("EngineUnavailable");
    engine_failed = session.attr("EngineFailed");
    clip = module_global("_whole_clip")(audio);
    clock = nb::cast(RenderClock());
    c = nb::inst_ptr<RenderClock>(clock);
    nb::object frames_of = a->engine.attr("frames");
    frames = frames_of(clock_chunks(clock, module_global("_chunks")(audio, clip)));
    audio.reset();
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
    const ShortCheck check = short_check(delivered, exp);
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

void bind_render(nb::module_& m) {
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
