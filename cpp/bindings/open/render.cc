// Avatar and its render loop: the render generator, the render clock with its
// chunk pass-through, and the RenderStats record.
//
// The three object types are written against the C API so that the loop's
// per-frame path is one call into the engine's iterator, a clock reading and a
// counter: no Python frame, no attribute lookup, no argument parsing. Both
// generator types behave as Python generators do (next, send, throw, close,
// finalisation) and are registered as collections.abc.Generator.
//
// The audio intake (_whole_clip, _chunks, _expected_frames) and the logger _log
// are looked up on the module at each use; the error kinds come from the
// package's _errors and _session modules, imported when a render needs them.
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "bindings/open/module.h"
#include "bindings/open/outside.h"
// After Python.h, which nanobind brings.
#include <structmember.h>

#include "common/clock.h"
#include "open/render_loop.h"

namespace halvane::open::py {

namespace {

constexpr const char* AVATAR_CLOSED = "this avatar is closed";
constexpr const char* RENDER_STOPPED = "the render stopped";
constexpr const char* STATS_LOG =
    "halvane: render %d frames in %.2f s = %.1f fps steady state (first audio push -> last frame; model load excluded)";

// Module-wide references, set once by bind_render and kept for the process.
PyObject* g_module = nullptr;
PyObject* g_render_stats = nullptr;  // the RenderStats named tuple type
PyTypeObject* g_clock_type = nullptr;
PyTypeObject* g_chunks_type = nullptr;
PyTypeObject* g_frames_type = nullptr;

struct Names {
  PyObject *engine, *engine_id, *closed, *render_stats, *frames, *interrupt, *close, *frames_per_second, *stop_reason,
      *info, *whole_clip, *chunks, *expected_frames, *log, *args, *detail;
} S;

PyObject* intern(const char* s) {
  PyObject* o = PyUnicode_InternFromString(s);
  if (!o) throw nb::python_error();
  return o;
}

// Raises `value` as it is: no implicit chaining to an exception being handled.
void raise_as_is(PyObject* value) {
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, nullptr);
}

// getattr(obj, name, None) for an attribute that may be absent: a new reference
// or nullptr with no error set when it is absent; nullptr with an error set
// when reading it raised something other than AttributeError.
PyObject* optional_attr(PyObject* obj, PyObject* name, bool* failed) {
  PyObject* v = PyObject_GetAttr(obj, name);
  *failed = false;
  if (!v) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
    } else {
      *failed = true;
    }
  }
  return v;
}

PyObject* import_attr(const char* module, const char* name) {
  PyObject* mod = PyImport_ImportModule(module);
  if (!mod) return nullptr;
  PyObject* v = PyObject_GetAttrString(mod, name);
  Py_DECREF(mod);
  return v;
}

// refuse(kind, message, detail) of the package's error module: the exception
// instance to raise, or nullptr with an error set.
PyObject* refuse(const char* kind, PyObject* message, PyObject* detail) {
  PyObject* exc = nullptr;
  try {
    exc = refused(kind, message, detail).release().ptr();
  } catch (nb::python_error& e) {
    e.restore();
    return nullptr;
  }
  if (!PyExceptionInstance_Check(exc)) {
    Py_DECREF(exc);
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return nullptr;
  }
  return exc;
}

// Text from UTF-8 that text_of() made (lone surrogates included).
PyObject* text_from(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
}

// Raises refuse(kind, message, detail) with texts from the core.
void raise_refusal(const char* kind, const std::string& message, const std::string& detail) {
  PyObject* m = text_from(message);
  PyObject* d = m ? text_from(detail) : nullptr;
  PyObject* exc = d ? refuse(kind, m, d) : nullptr;
  Py_XDECREF(m);
  Py_XDECREF(d);
  if (exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
  }
}

// The text form of obj (str(obj)) as UTF-8, lone surrogates passed through;
// false with an error set on failure.
bool text_of(PyObject* obj, std::string* out) {
  PyObject* s = PyObject_Str(obj);
  PyObject* b = s ? PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass") : nullptr;
  Py_XDECREF(s);
  if (!b) return false;
  out->assign(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b)));
  Py_DECREF(b);
  return true;
}

// Sets the exception that generator.throw() arguments name, (type[, value[,
// traceback]]) or (instance), as the current error and returns true; returns
// false with a TypeError set when they name no exception.
bool set_thrown(PyObject* args) {
  PyObject *typ = nullptr, *val = nullptr, *tb = nullptr;
  if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return false;
  if (tb == Py_None) tb = nullptr;
  if (tb && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return false;
  }
  if (PyExceptionClass_Check(typ)) {
    PyObject* t = Py_NewRef(typ);
    PyObject* v = val ? Py_NewRef(val) : nullptr;
    PyObject* b = tb ? Py_NewRef(tb) : nullptr;
    PyErr_NormalizeException(&t, &v, &b);
    if (b) PyException_SetTraceback(v, b);
    PyErr_Restore(t, v, b);
    return true;
  }
  if (PyExceptionInstance_Check(typ)) {
    if (val && val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return false;
    }
    PyObject* b = tb ? Py_NewRef(tb) : PyException_GetTraceback(typ);
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(typ))), Py_NewRef(typ), b);
    return true;
  }
  PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
               Py_TYPE(typ)->tp_name);
  return false;
}

enum class GenState : uint8_t { Created, Suspended, Finished };

PyObject* generator_running() {
  PyErr_SetString(PyExc_ValueError, "generator already executing");
  return nullptr;
}

PyObject* just_started_send() {
  PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
  return nullptr;
}

// ---------------------------------------------------------------------------
// _RenderClock

struct ClockObject {
  PyObject_HEAD
  RenderClock c;
};

ClockObject* as_clock(PyObject* o) { return reinterpret_cast<ClockObject*>(o); }

PyObject* clock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":_RenderClock", const_cast<char**>(kwlist))) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self) new (&as_clock(self)->c) RenderClock();
  return self;
}

void clock_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  as_clock(self)->c.~RenderClock();
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* optional_float(const std::optional<double>& v) {
  if (!v) Py_RETURN_NONE;
  return PyFloat_FromDouble(*v);
}

int set_optional_float(std::optional<double>* slot, PyObject* value, const char* name) {
  if (!value) {
    PyErr_Format(PyExc_AttributeError, "cannot delete %s", name);
    return -1;
  }
  if (value == Py_None) {
    slot->reset();
    return 0;
  }
  double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) return -1;
  *slot = d;
  return 0;
}

PyObject* clock_get_t0(PyObject* self, void*) { return optional_float(as_clock(self)->c.t0); }
PyObject* clock_get_t1(PyObject* self, void*) { return optional_float(as_clock(self)->c.t1); }
PyObject* clock_get_n(PyObject* self, void*) { return PyLong_FromLongLong(as_clock(self)->c.n); }
int clock_set_t0(PyObject* self, PyObject* v, void*) { return set_optional_float(&as_clock(self)->c.t0, v, "_t0"); }
int clock_set_t1(PyObject* self, PyObject* v, void*) { return set_optional_float(&as_clock(self)->c.t1, v, "_t1"); }
int clock_set_n(PyObject* self, PyObject* v, void*) {
  if (!v) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete _n");
    return -1;
  }
  long long n = PyLong_AsLongLong(v);
  if (n == -1 && PyErr_Occurred()) return -1;
  as_clock(self)->c.n = n;
  return 0;
}

PyObject* stats_object(const RenderClock& c) {
  std::optional<RenderStats> st = c.stats();
  if (!st) Py_RETURN_NONE;
  return PyObject_CallFunction(g_render_stats, "Ldd", static_cast<long long>(st->frames), st->render_seconds,
                               st->render_fps);
}

PyObject* clock_frame(PyObject* self, PyObject*) {
  as_clock(self)->c.frame(now_seconds());
  Py_RETURN_NONE;
}

PyObject* clock_stats(PyObject* self, PyObject*) { return stats_object(as_clock(self)->c); }

PyObject* new_chunks(PyObject* clock, PyObject* source);

PyObject* clock_chunks(PyObject* self, PyObject* it) { return new_chunks(self, it); }

PyGetSetDef clock_getset[] = {
    {"_t0", clock_get_t0, clock_set_t0, "monotonic clock reading when the first audio chunk was drawn, or None", nullptr},
    {"_t1", clock_get_t1, clock_set_t1, "monotonic clock reading when the latest frame was received, or None", nullptr},
    {"_n", clock_get_n, clock_set_n, "frames counted so far", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef clock_methods[] = {
    {"chunks", clock_chunks, METH_O,
     "chunks(it): a generator passing the items of it through, timing the first one drawn"},
    {"frame", clock_frame, METH_NOARGS, "frame(): a frame arrived now"},
    {"stats", clock_stats, METH_NOARGS, "stats(): RenderStats of the render so far, or None"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot clock_slots[] = {{Py_tp_new, reinterpret_cast<void*>(clock_new)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(clock_dealloc)},
                             {Py_tp_getset, clock_getset},
                             {Py_tp_methods, clock_methods},
                             {Py_tp_doc, const_cast<char*>("The clock of one render: _RenderClock()")},
                             {0, nullptr}};

PyType_Spec clock_spec = {"halvane._open._RenderClock", sizeof(ClockObject), 0, Py_TPFLAGS_DEFAULT, clock_slots};

// ---------------------------------------------------------------------------
// The clock's chunk pass-through: items of the source unchanged; the clock's
// first reading is taken when the first item has been drawn.

struct ChunksObject {
  PyObject_HEAD
  PyObject* clock;   // _RenderClock
  PyObject* source;  // the iterable, until the first request
  PyObject* it;      // its iterator, from the first request
  GenState state;
  bool running;
};

ChunksObject* as_chunks(PyObject* o) { return reinterpret_cast<ChunksObject*>(o); }

PyObject* new_chunks(PyObject* clock, PyObject* source) {
  ChunksObject* self = PyObject_GC_New(ChunksObject, g_chunks_type);
  if (!self) return nullptr;
  self->clock = Py_NewRef(clock);
  self->source = Py_NewRef(source);
  self->it = nullptr;
  self->state = GenState::Created;
  self->running = false;
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

// Ends the generator and drops what it holds, keeping any error that is set.
int chunks_clear(PyObject* self);

void chunks_finish(ChunksObject* self) {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  chunks_clear(reinterpret_cast<PyObject*>(self));
  PyErr_Restore(t, v, tb);
}

PyObject* chunks_resume(ChunksObject* self) {
  if (self->running) return generator_running();
  if (self->state == GenState::Finished) return nullptr;
  self->running = true;
  if (!self->it) {
    self->it = PyObject_GetIter(self->source);
    Py_CLEAR(self->source);
  }
  PyObject* item = self->it ? PyIter_Next(self->it) : nullptr;
  if (item) {
    self->state = GenState::Suspended;
    if (ClockObject* clock = as_clock(self->clock); !clock->c.t0) clock->c.chunk_drawn(now_seconds());
  } else {
    chunks_finish(self);
  }
  self->running = false;
  return item;
}

PyObject* chunks_next(PyObject* self) { return chunks_resume(as_chunks(self)); }

PyObject* chunks_send(PyObject* self, PyObject* value) {
  ChunksObject* g = as_chunks(self);
  if (g->state == GenState::Created && value != Py_None && !g->running) return just_started_send();
  PyObject* r = chunks_resume(g);
  if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return r;
}

// Nothing in the pass-through handles an exception: a thrown one ends it.
PyObject* chunks_throw(PyObject* self, PyObject* args) {
  ChunksObject* g = as_chunks(self);
  if (!set_thrown(args)) return nullptr;
  if (g->running) {
    PyErr_Clear();
    return generator_running();
  }
  chunks_finish(g);
  return nullptr;
}

PyObject* chunks_close(PyObject* self, PyObject*) {
  ChunksObject* g = as_chunks(self);
  if (g->running) return generator_running();
  chunks_finish(g);
  Py_RETURN_NONE;
}

int chunks_traverse(PyObject* self, visitproc visit, void* arg) {
  ChunksObject* g = as_chunks(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(g->clock);
  Py_VISIT(g->source);
  Py_VISIT(g->it);
  return 0;
}

// Also what the collector calls: a cleared generator counts as finished.
int chunks_clear(PyObject* self) {
  ChunksObject* g = as_chunks(self);
  g->state = GenState::Finished;
  Py_CLEAR(g->clock);
  Py_CLEAR(g->source);
  Py_CLEAR(g->it);
  return 0;
}

void chunks_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  chunks_clear(self);
  PyObject_GC_Del(self);
  Py_DECREF(tp);
}

PyMethodDef chunks_methods[] = {
    {"send", chunks_send, METH_O, "send(value): the next item"},
    {"throw", chunks_throw, METH_VARARGS, "throw(exc): raises exc here, ending the generator"},
    {"close", chunks_close, METH_NOARGS, "close(): ends the generator"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot chunks_slots[] = {{Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                              {Py_tp_iternext, reinterpret_cast<void*>(chunks_next)},
                              {Py_tp_methods, chunks_methods},
                              {Py_tp_traverse, reinterpret_cast<void*>(chunks_traverse)},
                              {Py_tp_clear, reinterpret_cast<void*>(chunks_clear)},
                              {Py_tp_dealloc, reinterpret_cast<void*>(chunks_dealloc)},
                              {0, nullptr}};

PyType_Spec chunks_spec = {"halvane._open._ClockChunks", sizeof(ChunksObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, chunks_slots};

// ---------------------------------------------------------------------------
// The render generator of one Avatar.render(audio).

struct FramesObject {
  PyObject_HEAD
  PyObject* avatar;
  PyObject* audio;   // until the first request
  PyObject* clip;    // the whole clip's PCM, or None
  PyObject* clock;   // _RenderClock of this render
  PyObject* result;  // what the engine's frames() returned, until iterated
  PyObject* it;      // the engine's frame iterator
  PyObject* engine_unavailable;
  PyObject* engine_failed;
  int64_t delivered;
  GenState state;
  bool running;
};

FramesObject* as_frames(PyObject* o) { return reinterpret_cast<FramesObject*>(o); }

PyObject* new_frames(PyObject* avatar, PyObject* audio) {
  FramesObject* self = PyObject_GC_New(FramesObject, g_frames_type);
  if (!self) return nullptr;
  self->avatar = Py_NewRef(avatar);
  self->audio = Py_NewRef(audio);
  self->clip = self->clock = self->result = self->it = nullptr;
  self->engine_unavailable = self->engine_failed = nullptr;
  self->delivered = 0;
  self->state = GenState::Created;
  self->running = false;
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

// Also what the collector calls: a cleared generator counts as finished.
int frames_clear(PyObject* self) {
  FramesObject* g = as_frames(self);
  g->state = GenState::Finished;
  Py_CLEAR(g->avatar);
  Py_CLEAR(g->audio);
  Py_CLEAR(g->clip);
  Py_CLEAR(g->clock);
  Py_CLEAR(g->result);
  Py_CLEAR(g->it);
  Py_CLEAR(g->engine_unavailable);
  Py_CLEAR(g->engine_failed);
  return 0;
}

// Ends the generator and drops what it holds, keeping any error that is set.
PyObject* frames_finish(FramesObject* self) {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  frames_clear(reinterpret_cast<PyObject*>(self));
  PyErr_Restore(t, v, tb);
  return nullptr;
}

PyObject* module_call(PyObject* name, PyObject* a, PyObject* b) {
  PyObject* fn = PyObject_GetAttr(g_module, name);
  if (!fn) return nullptr;
  PyObject* r = PyObject_CallFunctionObjArgs(fn, a, b, nullptr);
  Py_DECREF(fn);
  return r;
}

// The steps before the loop: the closed check, the session module's error
// kinds, the whole clip, the clock and the engine's frames() call. Their errors
// reach the caller as they are.
bool frames_start(FramesObject* self) {
  PyObject* closed = PyObject_GetAttr(self->avatar, S.closed);
  if (!closed) return false;
  int is_closed = PyObject_IsTrue(closed);
  Py_DECREF(closed);
  if (is_closed < 0) return false;
  if (is_closed) {
    PyObject* failed = import_attr("halvane._errors", "Failed");
    if (!failed) return false;
    PyErr_SetString(failed, AVATAR_CLOSED);
    Py_DECREF(failed);
    return false;
  }
  self->engine_unavailable = import_attr("halvane._session", "EngineUnavailable");
  if (!self->engine_unavailable) return false;
  self->engine_failed = import_attr("halvane._session", "EngineFailed");
  if (!self->engine_failed) return false;

  self->clip = module_call(S.whole_clip, self->audio, nullptr);
  if (!self->clip) return false;
  self->clock = g_clock_type->tp_alloc(g_clock_type, 0);
  if (!self->clock) return false;
  new (&as_clock(self->clock)->c) RenderClock();

  PyObject* engine = PyObject_GetAttr(self->avatar, S.engine);
  PyObject* frames = engine ? PyObject_GetAttr(engine, S.frames) : nullptr;
  Py_XDECREF(engine);
  if (!frames) return false;
  PyObject* chunks = module_call(S.chunks, self->audio, self->clip);
  PyObject* timed = chunks ? new_chunks(self->clock, chunks) : nullptr;
  Py_XDECREF(chunks);
  if (timed) {
    self->result = PyObject_CallOneArg(frames, timed);
    Py_DECREF(timed);
  }
  Py_DECREF(frames);
  Py_CLEAR(self->audio);
  return self->result != nullptr;
}

bool is_instance_of(PyObject* exc, PyObject* cls) {
  if (!cls) return false;
  int r = PyObject_IsInstance(exc, cls);
  if (r < 0) {
    PyErr_Clear();
    return false;
  }
  return r == 1;
}

// An error of the loop or after it (set as the current error) becomes the
// error the caller sees: the package's own kinds and everything outside the
// Exception family pass unchanged, the session engine's two kinds and any
// other Exception become refusals raised without their cause.
void map_error(FramesObject* self) {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb) PyException_SetTraceback(v, tb);
  if (PyErr_GivenExceptionMatches(v, PyExc_GeneratorExit) || !PyErr_GivenExceptionMatches(v, PyExc_Exception)) {
    PyErr_Restore(t, v, tb);
    return;
  }
  PyObject* avatar_error = import_attr("halvane._errors", "AvatarError");
  if (!avatar_error) {  // the error module itself failed: that error instead
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    return;
  }
  bool own = is_instance_of(v, avatar_error);
  Py_DECREF(avatar_error);
  if (own) {
    PyErr_Restore(t, v, tb);
    return;
  }
  PyObject* mapped = nullptr;
  const char* kind = nullptr;
  if (is_instance_of(v, self->engine_unavailable)) kind = "NotSupported";
  else if (is_instance_of(v, self->engine_failed)) kind = "Failed";
  if (kind) {
    // The message is args[0] and the detail the `detail` attribute; an error
    // that lacks them gives its text and no detail rather than a new error.
    PyObject* message = nullptr;
    PyObject* args = PyObject_GetAttr(v, S.args);
    if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0) message = Py_NewRef(PyTuple_GET_ITEM(args, 0));
    Py_XDECREF(args);
    PyErr_Clear();
    if (!message) message = PyObject_Str(v);
    PyObject* detail = message ? PyObject_GetAttr(v, S.detail) : nullptr;
    if (message && !detail) PyErr_Clear();
    if (message) mapped = refuse(kind, message, detail ? detail : Py_None);
    Py_XDECREF(message);
    Py_XDECREF(detail);
  } else {
    PyObject* text = PyUnicode_FromString(RENDER_STOPPED);
    if (text) mapped = refuse("Failed", text, v);
    Py_XDECREF(text);
  }
  if (mapped) {
    PyException_SetCause(mapped, nullptr);  // also sets __suppress_context__
    PyException_SetContext(mapped, Py_NewRef(v));
    raise_as_is(mapped);
  }
  Py_XDECREF(t);
  Py_XDECREF(v);
  Py_XDECREF(tb);
}

// Leaving the loop before the engine's frames ran out, with the error that
// ended it set: the engine is interrupted (an error of interrupt() takes the
// place of that error), the error is mapped, and the generator ends.
PyObject* frames_abandon(FramesObject* self) {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb) PyException_SetTraceback(v, tb);
  PyObject* engine = PyObject_GetAttr(self->avatar, S.engine);
  PyObject* r = engine ? PyObject_CallMethodNoArgs(engine, S.interrupt) : nullptr;
  Py_XDECREF(engine);
  if (r) {
    Py_DECREF(r);
    PyErr_Restore(t, v, tb);
  } else {
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    if (v2 != v) PyException_SetContext(v2, v);  // as an error raised in a finally block
    else Py_XDECREF(v);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    PyErr_Restore(t2, v2, tb2);
  }
  map_error(self);
  return frames_finish(self);
}

// The engine's frames ran out: statistics stored and logged, then the
// short-render check. Returns nullptr; an error is set when the render fails.
PyObject* frames_end(FramesObject* self) {
  const RenderClock& clock = as_clock(self->clock)->c;
  PyObject* st = stats_object(clock);
  if (!st || PyObject_SetAttr(self->avatar, S.render_stats, st) < 0) {
    Py_XDECREF(st);
    map_error(self);
    return frames_finish(self);
  }
  if (st != Py_None) {
    std::optional<RenderStats> s = clock.stats();
    PyObject* log = PyObject_GetAttr(g_module, S.log);
    PyObject* r = log ? PyObject_CallMethod(log, "info", "sLdd", STATS_LOG, static_cast<long long>(s->frames),
                                             s->render_seconds, s->render_fps)
                      : nullptr;
    Py_XDECREF(log);
    if (!r) {
      Py_DECREF(st);
      map_error(self);
      return frames_finish(self);
    }
    Py_DECREF(r);
  }
  Py_DECREF(st);

  bool failed = false;
  PyObject* engine = PyObject_GetAttr(self->avatar, S.engine);
  PyObject* fps = engine ? optional_attr(engine, S.frames_per_second, &failed) : nullptr;
  PyObject* expected = nullptr;
  std::optional<int64_t> exp;
  if (engine && !failed) expected = module_call(S.expected_frames, self->clip, fps ? fps : Py_None);
  if (expected && expected != Py_None) {
    long long e = PyLong_AsLongLong(expected);
    if (e == -1 && PyErr_Occurred()) Py_CLEAR(expected);
    else exp = e;
  }
  if (expected) {
    ShortCheck check = short_check(self->delivered, exp);
    std::string engine_id;
    PyObject* id = check.short_render ? PyObject_GetAttr(self->avatar, S.engine_id) : nullptr;
    if (id && text_of(id, &engine_id)) {
      if (self->delivered == 0) {
        raise_refusal("Failed", NO_FRAMES_MESSAGE, no_frames_detail(engine_id));
      } else {
        std::string fps_text = "?", reason_text = "not recorded";
        PyObject* reason = optional_attr(engine, S.stop_reason, &failed);
        if (!failed && (!fps || fps == Py_None || text_of(fps, &fps_text)) && (!reason || text_of(reason, &reason_text))) {
          raise_refusal("Failed", stopped_early_message(self->delivered, *exp),
                        stopped_early_detail(engine_id, self->delivered, *exp, *check.floor, fps_text, reason_text));
        }
        Py_XDECREF(reason);
      }
    }
    Py_XDECREF(id);
  }
  Py_XDECREF(expected);
  Py_XDECREF(fps);
  Py_XDECREF(engine);
  if (PyErr_Occurred()) map_error(self);
  return frames_finish(self);
}

// One step of the loop: the engine's next frame, counted and timed.
PyObject* frames_step(FramesObject* self) {
  if (!self->it) {
    self->it = PyObject_GetIter(self->result);
    Py_CLEAR(self->result);
    if (!self->it) return frames_abandon(self);
  }
  PyObject* frame = PyIter_Next(self->it);
  if (frame) {
    ++self->delivered;
    as_clock(self->clock)->c.frame(now_seconds());
    return frame;
  }
  if (PyErr_Occurred()) return frames_abandon(self);
  return frames_end(self);
}

// Resumes the generator: with nothing (next, send) or with an exception to
// raise where it is suspended (set as the current error; throw, close).
PyObject* frames_resume(FramesObject* self, bool thrown) {
  if (self->running) {
    if (thrown) PyErr_Clear();
    return generator_running();
  }
  if (self->state == GenState::Finished) return nullptr;
  if (self->state == GenState::Created) {
    if (thrown) return frames_finish(self);  // raised before the first step
    self->running = true;
    bool ok = frames_start(self);
    self->state = GenState::Suspended;
    PyObject* r = ok ? frames_step(self) : frames_finish(self);
    self->running = false;
    return r;
  }
  self->running = true;
  PyObject* r = thrown ? frames_abandon(self) : frames_step(self);
  self->running = false;
  return r;
}

PyObject* frames_next(PyObject* self) { return frames_resume(as_frames(self), false); }

PyObject* frames_send(PyObject* self, PyObject* value) {
  FramesObject* g = as_frames(self);
  if (g->state == GenState::Created && value != Py_None && !g->running) return just_started_send();
  PyObject* r = frames_resume(g, false);
  if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return r;
}

PyObject* frames_throw(PyObject* self, PyObject* args) {
  if (!set_thrown(args)) return nullptr;  // no exception named: the generator is untouched
  return frames_resume(as_frames(self), true);
}

PyObject* frames_close(PyObject* self, PyObject*) {
  FramesObject* g = as_frames(self);
  if (g->running) return generator_running();
  if (g->state != GenState::Suspended) {
    frames_finish(g);
    Py_RETURN_NONE;
  }
  PyErr_SetNone(PyExc_GeneratorExit);
  frames_resume(g, true);
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

// A suspended generator that is dropped is closed, which interrupts the
// engine; an error of that is reported as unraisable.
void frames_finalize(PyObject* self) {
  if (as_frames(self)->state != GenState::Suspended) return;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyObject* r = frames_close(self, nullptr);
  if (r) Py_DECREF(r);
  else PyErr_WriteUnraisable(self);
  PyErr_Restore(t, v, tb);
}

int frames_traverse(PyObject* self, visitproc visit, void* arg) {
  FramesObject* g = as_frames(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(g->avatar);
  Py_VISIT(g->audio);
  Py_VISIT(g->clip);
  Py_VISIT(g->clock);
  Py_VISIT(g->result);
  Py_VISIT(g->it);
  Py_VISIT(g->engine_unavailable);
  Py_VISIT(g->engine_failed);
  return 0;
}

void frames_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  frames_clear(self);
  PyObject_GC_Del(self);
  Py_DECREF(tp);
}

PyMethodDef frames_methods[] = {
    {"send", frames_send, METH_O, "send(value): the next frame"},
    {"throw", frames_throw, METH_VARARGS, "throw(exc): raises exc where the render is suspended"},
    {"close", frames_close, METH_NOARGS, "close(): ends the render, interrupting the engine if it was running"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot frames_slots[] = {{Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                              {Py_tp_iternext, reinterpret_cast<void*>(frames_next)},
                              {Py_tp_methods, frames_methods},
                              {Py_tp_finalize, reinterpret_cast<void*>(frames_finalize)},
                              {Py_tp_traverse, reinterpret_cast<void*>(frames_traverse)},
                              {Py_tp_clear, reinterpret_cast<void*>(frames_clear)},
                              {Py_tp_dealloc, reinterpret_cast<void*>(frames_dealloc)},
                              {0, nullptr}};

PyType_Spec frames_spec = {"halvane._open._RenderFrames", sizeof(FramesObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, frames_slots};

// ---------------------------------------------------------------------------
// Avatar: four attributes, nothing else.

struct AvatarObject {
  PyObject_HEAD
  PyObject* engine;
  PyObject* engine_id;
  PyObject* closed;
  PyObject* render_stats;
};

AvatarObject* as_avatar(PyObject* o) { return reinterpret_cast<AvatarObject*>(o); }

int avatar_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"engine", "engine_id", nullptr};
  PyObject *engine, *engine_id;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Avatar", const_cast<char**>(kwlist), &engine, &engine_id))
    return -1;
  AvatarObject* a = as_avatar(self);
  Py_XSETREF(a->engine, Py_NewRef(engine));
  Py_XSETREF(a->engine_id, Py_NewRef(engine_id));
  Py_XSETREF(a->closed, Py_NewRef(Py_False));
  Py_XSETREF(a->render_stats, Py_NewRef(Py_None));
  return 0;
}

PyObject* avatar_release(PyObject* self, PyObject*) {
  PyObject* closed = PyObject_GetAttr(self, S.closed);
  if (!closed) return nullptr;
  int is_closed = PyObject_IsTrue(closed);
  Py_DECREF(closed);
  if (is_closed < 0) return nullptr;
  if (is_closed) Py_RETURN_NONE;
  if (PyObject_SetAttr(self, S.closed, Py_True) < 0) return nullptr;
  PyObject* engine = PyObject_GetAttr(self, S.engine);
  if (!engine) return nullptr;
  PyObject* r = PyObject_CallMethodNoArgs(engine, S.close);
  Py_DECREF(engine);
  if (!r) return nullptr;
  Py_DECREF(r);
  Py_RETURN_NONE;
}

PyObject* avatar_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* avatar_exit(PyObject* self, PyObject*) {
  PyObject* r = avatar_release(self, nullptr);
  if (!r) return nullptr;
  Py_DECREF(r);
  Py_RETURN_FALSE;
}

// __del__: released, an Exception of the engine's close() swallowed.
void avatar_finalize(PyObject* self) {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyObject* r = avatar_release(self, nullptr);
  if (r) {
    Py_DECREF(r);
  } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
  } else {
    PyErr_WriteUnraisable(self);
  }
  PyErr_Restore(t, v, tb);
}

PyObject* avatar_render_frames(PyObject* self, PyObject* audio) { return new_frames(self, audio); }

// The text of an output path: text unchanged, a bytes or path-like path as
// the file system names it, anything else by its text form.
PyObject* path_text(PyObject* p) {
  if (PyUnicode_Check(p)) return Py_NewRef(p);
  PyObject* fs = PyOS_FSPath(p);
  if (!fs) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();
    return PyObject_Str(p);
  }
  if (PyUnicode_Check(fs)) return fs;
  PyObject* t = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(fs), PyBytes_GET_SIZE(fs));
  Py_DECREF(fs);
  return t;
}

PyObject* avatar_render(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"audio", "out_mp4", nullptr};
  PyObject *audio, *out_mp4 = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:render", const_cast<char**>(kwlist), &audio, &out_mp4))
    return nullptr;
  if (out_mp4 == Py_None) return new_frames(self, audio);
  PyObject* path = path_text(out_mp4);
  if (!path) return nullptr;
  PyObject* write = import_attr("halvane.__main__", "_write");
  PyObject* r = write ? PyObject_CallFunctionObjArgs(write, self, audio, path, nullptr) : nullptr;
  Py_XDECREF(write);
  Py_DECREF(path);
  return r;
}

int avatar_traverse(PyObject* self, visitproc visit, void* arg) {
  AvatarObject* a = as_avatar(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(a->engine);
  Py_VISIT(a->engine_id);
  Py_VISIT(a->closed);
  Py_VISIT(a->render_stats);
  return 0;
}

int avatar_clear(PyObject* self) {
  AvatarObject* a = as_avatar(self);
  Py_CLEAR(a->engine);
  Py_CLEAR(a->engine_id);
  Py_CLEAR(a->closed);
  Py_CLEAR(a->render_stats);
  return 0;
}

void avatar_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  avatar_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMemberDef avatar_members[] = {
    {"_engine", T_OBJECT_EX, offsetof(AvatarObject, engine), 0, "the engine that renders this avatar"},
    {"_engine_id", T_OBJECT_EX, offsetof(AvatarObject, engine_id), 0, "the avatar's engine id"},
    {"_closed", T_OBJECT_EX, offsetof(AvatarObject, closed), 0, "true once released"},
    {"_render_stats", T_OBJECT_EX, offsetof(AvatarObject, render_stats), 0,
     "RenderStats of the last render that ran to its end, or None"},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef avatar_methods[] = {
    {"render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(avatar_render)), METH_VARARGS | METH_KEYWORDS,
     "render(audio, out_mp4=None): a lazy generator of RGB frames, or with out_mp4 an MP4 file written now"},
    {"_render_frames", avatar_render_frames, METH_O, "_render_frames(audio): the render generator"},
    {"__enter__", avatar_enter, METH_NOARGS, nullptr},
    {"__exit__", avatar_exit, METH_VARARGS, nullptr},
    {"_release", avatar_release, METH_NOARGS, "_release(): closes the engine, once"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot avatar_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(avatar_init)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_members, avatar_members},
    {Py_tp_methods, avatar_methods},
    {Py_tp_finalize, reinterpret_cast<void*>(avatar_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(avatar_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(avatar_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(avatar_dealloc)},
    {Py_tp_doc, const_cast<char*>("One avatar bound to its render engine: Avatar(engine, engine_id)")},
    {0, nullptr}};

PyType_Spec avatar_spec = {"halvane._open.Avatar", sizeof(AvatarObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                           avatar_slots};

PyTypeObject* make_type(PyType_Spec* spec) {
  PyObject* t = PyType_FromSpec(spec);
  if (!t) throw nb::python_error();
  return reinterpret_cast<PyTypeObject*>(t);
}

}  // namespace

void bind_render(nb::module_& m) {
  S = Names{intern("_engine"),      intern("_engine_id"),   intern("_closed"),
            intern("_render_stats"), intern("frames"),       intern("interrupt"),
            intern("close"),         intern("frames_per_second"), intern("stop_reason"),
            intern("info"),          intern("_whole_clip"),  intern("_chunks"),
            intern("_expected_frames"), intern("_log"),      intern("args"),
            intern("detail")};
  g_module = Py_NewRef(m.ptr());

  nb::object stats = nb::module_::import_("collections")
                         .attr("namedtuple")("RenderStats", nb::make_tuple("frames", "render_seconds", "render_fps"),
                                             nb::arg("module") = "halvane._open");
  g_render_stats = Py_NewRef(stats.ptr());
  m.attr("RenderStats") = stats;

  g_clock_type = make_type(&clock_spec);
  g_chunks_type = make_type(&chunks_spec);
  g_frames_type = make_type(&frames_spec);
  PyTypeObject* avatar = make_type(&avatar_spec);
  nb::object generator = nb::module_::import_("collections.abc").attr("Generator");
  generator.attr("register")(nb::handle(reinterpret_cast<PyObject*>(g_chunks_type)));
  generator.attr("register")(nb::handle(reinterpret_cast<PyObject*>(g_frames_type)));

  m.attr("Avatar") = nb::steal(reinterpret_cast<PyObject*>(avatar));
  m.attr("_RenderClock") = nb::borrow(reinterpret_cast<PyObject*>(g_clock_type));
  m.attr("_SHORT_FRAC") = SHORT_FRAC;
  m.attr("_log") = nb::module_::import_("logging").attr("getLogger")("halvane");
}

}  // namespace halvane::open::py
