// The session engine: renders ostrel2-light and ostrel2-golden avatars through
// the package's session module (_session), deciding when to feed the session,
// which of its frames to hand out and when a render is over.
#include <chrono>
#include <cmath>
#include <algorithm>

#include "bindings/open/generator.h"
#include "bindings/open/module.h"
#include "bindings/open/outside.h"
#include "bindings/open/turns.h"
#include "open/messages.h"
#include "open/session_engine.h"

namespace halvane::open::py {

using namespace nb::literals;

namespace {

constexpr const char* kQuietVariable = "HALVANE_RENDER_QUIET";
constexpr auto kPollPause = std::chrono::microseconds(5000);
// Bytes of audio pushed at a time: a long clip reaches the session a piece
// at a time, as views of the one clip the intake holds.
constexpr Py_ssize_t kPieceBytes = 32768;

double monotonic() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// `_QUIET` of the module, read at each use.
double quiet() { return as_double(module_global("_QUIET")); }

// a == b (or a != b) as Python compares them.
bool compares(nb::handle a, nb::handle b, int op) {
  return truthy(check(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

struct SessionEngine {
  nb::object session_mod, frames_per_second, s;
  nb::object stop_reason{};  // invalid until the first render starts
  // Of the last render: the frames of the avatar at rest that came before its
  // first speech frame and were not handed out, and the last of them (None
  // when there was none). A video starts with that many, so that its picture
  // keeps step with its sound.
  int64_t leading_frames = 0;
  nb::object leading_picture = nb::none();

  template <class F>
  void visit(F&& f) {
    f(session_mod);
    f(frames_per_second);
    f(s);
    f(stop_reason);
    f(leading_picture);
  }
};

// The body of frames(chunks).
struct SessionFrames {
  nb::object engine, chunks;  // chunks: the iterable, from the first step its iterator
  nb::object session{}, speech{}, idle{};
  nb::object view{};  // the chunk being pushed, when it is pushed in pieces
  Py_ssize_t offset = 0, length = 0;
  enum class Step : uint8_t { start, push, pull_pushed, drain } step = Step::start;
  SpeechGate gate;
  QuietDeadline deadline;

  SessionEngine& self() { return *nb::inst_ptr<SessionEngine>(engine); }

  // A frame before the first speech frame, not handed out.
  void lead(nb::handle frame) {
    SessionEngine& e = self();
    ++e.leading_frames;
    e.leading_picture = nb::borrow(frame);
  }

  nb::object end(std::string_view reason) {
    self().stop_reason = text(reason);
    return nb::object();
  }

  // The next piece of audio to push, or an invalid object when the chunks ran
  // out. A chunk longer than a piece goes as views of it; any other passes as
  // it is.
  nb::object next_piece() {
    if (offset >= length) {
      view.reset();
      nb::object chunk = next_item(chunks);
      if (!chunk.is_valid() || !PyObject_CheckBuffer(chunk.ptr())) return chunk;
      const Py_ssize_t n = nb::len(chunk);
      if (n <= kPieceBytes) return chunk;
      view = check(PyMemoryView_FromObject(chunk.ptr()));
      offset = 0;
      length = n;
    }
    const Py_ssize_t end = std::min(offset + kPieceBytes, length);
    nb::object piece = view[nb::slice(offset, end)];
    offset = end;
    return piece;
  }

  nb::object next() {
    if (step == Step::start) {
      SessionEngine& e = self();
      session = e.s;
      session.attr("reset")();
      e.stop_reason = text(kUnfinished);
      e.leading_frames = 0;
      e.leading_picture = nb::none();
      speech = e.session_mod.attr("LO_UTT_SPEECH");
      idle = e.session_mod.attr("LO_UTT_IDLE");
      chunks = nb::iter(chunks);
      step = Step::push;
    }
    while (step != Step::drain) {
      if (step == Step::push) {
        nb::object piece = next_piece();
        if (!piece.is_valid()) {
          session.attr("end")();
          deadline.renew(monotonic(), quiet());
          step = Step::drain;
          break;
        }
        session.attr("push")(piece);
        step = Step::pull_pushed;
      }
      nb::object item = session.attr("pull")();
      if (item.is_none()) {
        session.attr("check_render")();
        step = Step::push;
        continue;
      }
      auto [frame, state] = unpack_pair(item);
      if (gate.pushed(gate.speaking() || compares(state, speech, Py_EQ)) == Gate::hand_out) return frame;
      lead(frame);
    }
    for (;;) {
      // A signal, a later render of the avatar or the interpreter's exit ends
      // the wait at once, also while only frames to discard come.
      if (wait_should_end()) return nb::object();
      nb::object item = session.attr("pull")();
      if (item.is_none()) {
        if (deadline.passed(monotonic())) {
          session.attr("check_render")();
          return end(quiet_deadline_reason(quiet()));
        }
        pause_unlocked(kPollPause);
        continue;
      }
      auto [frame, state] = unpack_pair(item);
      const bool was_speaking = gate.speaking();
      const bool is_speech = !was_speaking && compares(state, speech, Py_EQ);
      const bool is_idle = was_speaking && compares(state, idle, Py_EQ);
      const bool past = !was_speaking && !is_speech && deadline.passed(monotonic());
      switch (gate.drained(is_speech, is_idle, past)) {
        case Gate::discard:
          lead(frame);
          continue;
        case Gate::end_at_rest:
          return end(kReturnedToRest);
        case Gate::end_without_speech:
          session.attr("check_render")();
          return end(kNoSpeech);
        case Gate::hand_out:
          deadline.renew(monotonic(), quiet());
          return frame;
      }
    }
  }

  template <class F>
  void visit(F&& f) {
    f(engine);
    f(chunks);
    f(session);
    f(speech);
    f(idle);
    f(view);
  }
};

void init(SessionEngine* self, nb::handle source, nb::handle session) {
  nb::module_ mod = outside("_session");
  nb::object fps = mod.attr("FPS");
  nb::object s;
  if (!session.is_none()) {
    s = nb::borrow(session);
  } else {
    nb::object root = module_global("_materialise")(source);
    nb::module_ json = nb::module_::import_("json");
    nb::object path = nb::module_::import_("os.path").attr("join")(root, "manifest.json");
    nb::object f = nb::module_::import_("io").attr("open")(path, "encoding"_a = "utf-8");
    nb::object manifest;
    try {
      manifest = json.attr("load")(f);
    } catch (...) {
      f.attr("close")();
      throw;
    }
    f.attr("close")();
    s = mod.attr("Session")(root, manifest);
  }
  new (self) SessionEngine{mod, fps, s};
}

// float() of HALVANE_RENDER_QUIET (default "10"), NaN and the infinities
// refused as float() refuses any other text that is not a number.
nb::object read_quiet() {
  nb::object value = nb::module_::import_("os").attr("environ").attr("get")(kQuietVariable, "10");
  nb::object q = nb::module_::import_("builtins").attr("float")(value);
  if (!usable_quiet(nb::cast<double>(q)))
    raise_error(PyExc_ValueError, concat("could not convert string to float: ", nb::repr(value)));
  return q;
}

}  // namespace

void bind_session_engine(nb::module_& m) {
  m.attr("_QUIET") = read_quiet();
  bind_generator<SessionFrames>(m, "_SessionFrames");
  nb::class_<SessionEngine>(m, "_SessionEngine", nb::type_slots(gc_slots<SessionEngine>()))
      .def("__init__", &init, "source"_a.none(), "session"_a.none() = nb::none())
      .def_rw("_session_mod", &SessionEngine::session_mod, none_too(), "the session module")
      .def_rw("frames_per_second", &SessionEngine::frames_per_second, none_too(), "the session's frame rate")
      .def_rw("_s", &SessionEngine::s, none_too(), "the session that renders this avatar")
      .def_prop_rw(
          "stop_reason",
          [](SessionEngine& e) -> nb::object {
            if (!e.stop_reason.is_valid()) {
              PyErr_SetString(PyExc_AttributeError, "'_SessionEngine' object has no attribute 'stop_reason'");
              throw nb::python_error();
            }
            return e.stop_reason;
          },
          [](SessionEngine& e, nb::handle v) { e.stop_reason = nb::borrow(v); }, nb::arg("value").none(),
          "why the last render ended")
      .def_ro("leading_frames", &SessionEngine::leading_frames,
              "frames at rest before the last render's first speech frame, not handed out")
      .def_ro("leading_picture", &SessionEngine::leading_picture, "the last of them, or None")
      .def(
          "frames",
          [](nb::handle self, nb::handle chunks) {
            return generator(SessionFrames{nb::borrow(self), nb::borrow(chunks)});
          },
          "chunks"_a.none(), "A generator of the frames the session renders from the PCM chunks of `chunks`.")
      .def(
          "interrupt",
          [](SessionEngine& e) {
            ignoring_exceptions([&] { e.s.attr("reset")(); });
          },
          "Abandons the current utterance.")
      .def(
          "close", [](SessionEngine& e) { e.s.attr("close")(); }, "Releases the session.");
}

}  // namespace halvane::open::py
