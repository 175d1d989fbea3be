// Audio intake: every audio form the offline interface accepts, turned into
// 16 kHz mono signed 16-bit PCM bytes.
#include "bindings/open/intake.h"

#include <nanobind/ndarray.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "bindings/common/fspath.h"
#include "bindings/open/module.h"
#include "bindings/open/outside.h"
#include "common/errors.h"
#include "open/child_process.h"
#include "open/intake.h"

namespace halvane::open::py {

using namespace nb::literals;

namespace {

constexpr const char* kTypeMessage =
    "audio must be 16 kHz mono samples (bytes / int16 or float array), an audio file path, or an iterable of "
    "those; got ";
constexpr const char* kArrayMessage = "audio arrays must be int16, or float32/float64 in [-1, 1]; got ";
constexpr const char* kUnreadable = "could not read that audio";
constexpr const char* kNoSamples = "no audio in that file";
constexpr const char* kNoFile = "no audio at ";
constexpr Py_ssize_t kStderrChars = 300;

nb::handle g_module;  // halvane._open, alive as long as the interpreter

nb::object concat(const char* head, nb::handle tail) {
  return nb::steal(PyUnicode_Concat(nb::str(head).ptr(), nb::str(tail).ptr()));
}

[[noreturn]] void raise_type_error(const char* head, nb::handle tail) { raise_py(PyExc_TypeError, concat(head, tail)); }

bool is_bytes_like(nb::handle o) {
  return PyBytes_Check(o.ptr()) || PyByteArray_Check(o.ptr()) || PyMemoryView_Check(o.ptr());
}

bool is_path(nb::handle o) {
  if (PyUnicode_Check(o.ptr())) return true;
  nb::object path_like = nb::module_::import_("os").attr("PathLike");
  const int r = PyObject_IsInstance(o.ptr(), path_like.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// NumPy, or an invalid object when it cannot be imported.
nb::object numpy_if_present() {
  try {
    return nb::module_::import_("numpy");
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return nb::object();
  }
}

bool is_ndarray(const nb::object& np, nb::handle o) {
  if (!np.is_valid()) return false;
  const int r = PyObject_IsInstance(o.ptr(), np.attr("ndarray").ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// A C-contiguous buffer of an array, released with the object.
struct Buffer {
  Py_buffer view{};
  bool held = false;
  explicit Buffer(nb::handle o, int flags) {
    if (PyObject_GetBuffer(o.ptr(), &view, flags) != 0) throw nb::python_error();
    held = true;
  }
  ~Buffer() {
    if (held) PyBuffer_Release(&view);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
};

nb::object new_bytes(size_t n, char*& data) {
  PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
  if (!b) throw nb::python_error();
  data = PyBytes_AS_STRING(b);
  return nb::steal(b);
}

// The bytes of an int16, float32 or float64 array as PCM.
nb::object array_pcm(const nb::object& np, nb::handle arr) {
  nb::object dtype = arr.attr("dtype");
  auto is = [&](const char* name) {
    const int r = PyObject_RichCompareBool(dtype.ptr(), np.attr("dtype")(name).ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
  };
  const int kind = is("int16") ? 0 : is("float32") ? 1 : is("float64") ? 2 : -1;
  if (kind < 0) raise_type_error(kArrayMessage, nb::str(dtype));
  nb::object c = np.attr("ascontiguousarray")(arr);
  Buffer buf(c, PyBUF_C_CONTIGUOUS);
  const size_t item = kind == 0 ? 2 : kind == 1 ? 4 : 8;
  const size_t n = static_cast<size_t>(buf.view.len) / item;
  char* out = nullptr;
  nb::object result = new_bytes(2 * n, out);
  {
    nb::gil_scoped_release unlocked;
    if (kind == 0) std::memcpy(out, buf.view.buf, 2 * n);
    else if (kind == 1) float_to_pcm16(static_cast<const float*>(buf.view.buf), n, out);
    else float_to_pcm16(static_cast<const double*>(buf.view.buf), n, out);
  }
  return result;
}

// The file at `fs_path` decoded by the ffmpeg program; an invalid (null)
// object when the program is not on the search path.
nb::object ffmpeg_pcm(const std::string& fs_path) {
  const std::vector<std::string> argv = ffmpeg_decode_argv(fs_path);
  ChildOutput out;
  PyObject *etype = nullptr, *evalue = nullptr, *etb = nullptr;
  bool stopped = false, missing = false;
  {
    nb::gil_scoped_release unlocked;
    // A pending signal (Ctrl-C) is looked at with the GIL taken for a moment;
    // its Python error is kept aside and raised once the child is reaped.
    auto signalled = [&] {
      nb::gil_scoped_acquire gil;
      if (PyErr_CheckSignals() == 0) return false;
      PyErr_Fetch(&etype, &evalue, &etb);
      return true;
    };
    try {
      out = run_captured(argv, signalled);
    } catch (const ChildStopped&) {
      stopped = true;
    } catch (const halvane::OSError& e) {
      if (e.err != ENOENT) throw;
      missing = true;
    }
  }
  if (stopped) {
    PyErr_Restore(etype, evalue, etb);
    throw nb::python_error();
  }
  if (missing) return nb::object();
  if (out.status != 0) {
    const std::string err = out.err.str();
    nb::object text = nb::steal(PyUnicode_DecodeUTF8(err.data(), static_cast<Py_ssize_t>(err.size()), "replace"));
    if (!text.is_valid()) throw nb::python_error();
    nb::object head = nb::steal(PyUnicode_Substring(text.ptr(), 0, kStderrChars));
    if (!head.is_valid()) throw nb::python_error();
    raise_refused("Failed", kUnreadable, head, false);
  }
  char* dst = nullptr;
  nb::object pcm = new_bytes(out.out.size(), dst);
  {
    nb::gil_scoped_release unlocked;
    out.out.copy_to(dst);
  }
  return pcm;
}

nb::object file_pcm(nb::handle obj) {
  nb::object path = nb::steal(PyOS_FSPath(obj.ptr()));
  if (!path.is_valid()) throw nb::python_error();
  nb::module_ os = nb::module_::import_("os");
  if (!PyObject_IsTrue(os.attr("path").attr("isfile")(path).ptr())) {
    nb::object shown = PyUnicode_Check(path.ptr()) ? path : os.attr("fsdecode")(path);
    raise_py(PyExc_FileNotFoundError, concat(kNoFile, shown));
  }
  nb::object pcm = ffmpeg_pcm(halvane::py::fs_bytes(path));
  if (pcm.is_valid()) return pcm;
  return g_module.attr("_decode")(path);
}

// Appends the samples of what AudioResampler.resample returned: a list of
// frames, one frame, or nothing.
void append_resampled(nb::handle res, std::string& out) {
  if (res.is_none()) return;
  auto add = [&](nb::handle frame) {
    nb::object b = frame.attr("to_ndarray")().attr("tobytes")();
    out.append(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
  };
  if (PyList_Check(res.ptr()) || PyTuple_Check(res.ptr())) {
    for (nb::handle f : res) add(f);
  } else {
    add(res);
  }
}

nb::object decode_guarded(nb::handle path) {
  nb::module_ av = nb::module_::import_("av");
  std::string out;
  nb::object resampler;
  nb::object frames;
  nb::object container = av.attr("open")(path);
  nb::object opened = container.attr("__enter__")();
  try {
    resampler = av.attr("AudioResampler")("format"_a = "s16", "layout"_a = "mono", "rate"_a = kSampleRate);
    frames = nb::steal(PySequence_List(opened.attr("decode")("audio"_a = 0).ptr()));
    if (!frames.is_valid()) throw nb::python_error();
  } catch (nb::python_error& e) {
    nb::object swallow = container.attr("__exit__")(e.type(), e.value(), e.traceback());
    if (!PyObject_IsTrue(swallow.ptr())) throw;
    frames = nb::list();
  }
  container.attr("__exit__")(nb::none(), nb::none(), nb::none());
  for (nb::handle f : frames) append_resampled(resampler.attr("resample")(f), out);
  append_resampled(resampler.attr("resample")(nb::none()), out);
  if (out.empty()) raise_py(PyExc_ValueError, nb::str(kNoSamples));
  return nb::bytes(out.data(), out.size());
}

// _chunks: the whole clip as its only chunk, or one chunk per piece, each
// converted when it is asked for. Behaves as a generator: once it has ended or
// failed, it stays ended.
struct ChunkStream {
  nb::object audio, clip, pieces;
  enum { fresh, drawing, over } state = fresh;

  template <class F>
  void visit(F&& f) {
    f(audio);
    f(clip);
    f(pieces);
  }

  nb::object next() {
    if (state == over) throw nb::stop_iteration();
    try {
      if (state == fresh) {
        if (clip.is_none()) clip = whole_clip(audio);
        if (!clip.is_none()) {
          state = over;
          return std::move(clip);
        }
        pieces = nb::steal(PyObject_GetIter(audio.ptr()));
        if (!pieces.is_valid()) throw nb::python_error();
        state = drawing;
      }
      nb::object item = nb::steal(PyIter_Next(pieces.ptr()));
      if (!item.is_valid()) {
        if (PyErr_Occurred()) throw nb::python_error();
        state = over;
        throw nb::stop_iteration();
      }
      return pcm(item);
    } catch (...) {
      state = over;
      throw;
    }
  }
};

}  // namespace

nb::object pcm(nb::handle obj) {
  if (is_bytes_like(obj)) {
    PyObject* b = PyBytes_FromObject(obj.ptr());
    if (!b) throw nb::python_error();
    return nb::steal(b);
  }
  if (is_path(obj)) return file_pcm(obj);
  nb::object np = numpy_if_present();
  if (is_ndarray(np, obj)) return array_pcm(np, obj);
  raise_type_error(kTypeMessage, nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"));
}

nb::object whole_clip(nb::handle audio) {
  if (is_bytes_like(audio) || is_path(audio)) return pcm(audio);
  if (is_ndarray(numpy_if_present(), audio)) return pcm(audio);
  PyObject* it = PyObject_GetIter(audio.ptr());
  if (!it) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
    return pcm(audio);
  }
  Py_DECREF(it);
  return nb::none();
}

nb::object chunks(nb::handle audio, nb::handle clip) {
  ChunkStream s;
  s.audio = nb::borrow(audio);
  s.clip = nb::borrow(clip);
  return nb::cast(std::move(s));
}

nb::object expected_frames(nb::handle clip, nb::handle fps) {
  if (clip.is_none() || fps.is_none()) return nb::none();
  const int zero = PyObject_RichCompareBool(fps.ptr(), nb::int_(0).ptr(), Py_EQ);
  if (zero < 0) throw nb::python_error();
  if (zero) return nb::none();
  nb::module_ session = outside("_session");
  nb::object per_second = session.attr("BYTES_PER_FRAME") * session.attr("FPS");
  const Py_ssize_t len = PyObject_Length(clip.ptr());
  if (len < 0) throw nb::python_error();
  const double rate = PyFloat_AsDouble(fps.ptr());
  const double bytes_per_second = PyFloat_AsDouble(per_second.ptr());
  if (PyErr_Occurred()) throw nb::python_error();
  if (bytes_per_second == 0) raise_py(PyExc_ZeroDivisionError, nb::str("float division by zero"));
  nb::object n = nb::steal(PyLong_FromDouble(static_cast<double>(len) / bytes_per_second * rate));
  if (!n.is_valid()) throw nb::python_error();
  const int positive = PyObject_RichCompareBool(n.ptr(), nb::int_(1).ptr(), Py_GE);
  if (positive < 0) throw nb::python_error();
  return positive ? n : nb::none();
}

void bind_intake(nb::module_& m) {
  note_package(m);
  g_module = m;
  m.attr("_SAMPLE_RATE") = kSampleRate;

  nb::class_<ChunkStream>(m, "_ChunkStream", nb::type_slots(gc_slots<ChunkStream>()))
      .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
      .def("__next__", &ChunkStream::next)
      .def("close", [](ChunkStream& s) {
        s.state = ChunkStream::over;
        s.visit([](nb::object& o) { o.reset(); });
      });

  m.def("_pcm", &pcm, "obj"_a.none(), "One audio item (bytes, an array or an audio file path) as PCM bytes.");
  m.def(
      "_decode",
      [](nb::handle path) {
        try {
          return decode_guarded(path);
        } catch (nb::python_error& e) {
          if (!e.matches(PyExc_Exception)) throw;
          raise_refused("Failed", kUnreadable, e.value(), true);
        }
      },
      "path"_a.none(), "An audio file decoded to PCM bytes through PyAV.");
  m.def("_whole_clip", &whole_clip, "audio"_a.none(),
        "The PCM of `audio` when it is a single clip, else None (an iterable of pieces).");
  m.def("_chunks", &chunks, "audio"_a.none(), "clip"_a.none() = nb::none(),
        "The chunk stream of `audio`: its whole clip, or one PCM chunk per piece, converted when drawn.");
  m.def("_expected_frames", &expected_frames, "clip"_a.none(), "fps"_a.none(),
        "Frames that `clip` should yield at `fps` frames per second, or None.");
}

}  // namespace halvane::open::py
