// Audio intake: every audio form the offline interface accepts, turned into
// 16 kHz mono signed 16-bit PCM bytes.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "bindings/common/channels.h"
#include "bindings/common/fspath.h"
#include "bindings/common/signals.h"
#include "bindings/open/generator.h"
#include "bindings/open/module.h"
#include "bindings/open/outside.h"
#include "common/errors.h"
#include "open/child_process.h"
#include "open/intake.h"
#include "open/messages.h"

namespace halvane::open::py {

using namespace nb::literals;

namespace {

using halvane::py::StridedView;

constexpr Py_ssize_t kStderrChars = 300;

bool is_bytes_like(nb::handle o) {
  return PyBytes_Check(o.ptr()) || PyByteArray_Check(o.ptr()) || PyMemoryView_Check(o.ptr());
}

bool is_path(nb::handle o) {
  return PyUnicode_Check(o.ptr()) || is_instance(o, nb::module_::import_("os").attr("PathLike"));
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

bool is_ndarray(const nb::object& np, nb::handle o) { return np.is_valid() && is_instance(o, np.attr("ndarray")); }

// A bytes object of n bytes, to be filled through `data`.
nb::object new_bytes(size_t n, char*& data) {
  PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
  if (!b) throw nb::python_error();
  data = PyBytes_AS_STRING(b);
  return nb::steal(b);
}

// The samples of an int16, float32 or float64 array as PCM: a 1-D array (or
// one of a single row or column) in memory order, the channels of a 2-D
// array mixed down to one by their mean.
nb::object array_pcm(const nb::object& np, nb::handle arr) {
  nb::object dtype = arr.attr("dtype");
  auto is = [&](const char* name) { return dtype.equal(np.attr("dtype")(name)); };
  const int width = is("int16") ? 2 : is("float32") ? 4 : is("float64") ? 8 : 0;
  if (!width) raise_error(PyExc_TypeError, concat(kArrayMessage, dtype));
  const SampleType type = width == 2 ? SampleType::int16 : width == 4 ? SampleType::float32 : SampleType::float64;
  {
    StridedView v(arr);
    if (const auto c = halvane::py::channel_layout(v, arr.attr("shape"))) {
      char* out = nullptr;
      nb::object result = new_bytes(2 * c->frames, out);
      nb::gil_scoped_release unlocked;
      mix_to_pcm16(type, v.data(), c->frames, c->channels, c->frame_stride, c->channel_stride, out);
      return result;
    }
  }
  Buffer buf(np.attr("ascontiguousarray")(arr));
  const size_t n = buf.size() / width;
  char* out = nullptr;
  nb::object result = new_bytes(2 * n, out);
  nb::gil_scoped_release unlocked;
  if (width == 2) std::memcpy(out, buf.data(), 2 * n);
  else if (width == 4) float_to_pcm16(static_cast<const float*>(buf.data()), n, out);
  else float_to_pcm16(static_cast<const double*>(buf.data()), n, out);
  return result;
}

// The intake's limit in seconds: the module's `_MAX_AUDIO_SECONDS`, read at
// each decode.
int64_t limit_seconds() { return nb::cast<int64_t>(module_global("_MAX_AUDIO_SECONDS")); }

// The most PCM bytes a decode of `seconds` may give.
size_t limit_bytes(int64_t seconds) { return static_cast<size_t>(std::max<int64_t>(pcm_bytes(seconds), 0)); }

[[noreturn]] void raise_too_long(int64_t seconds) {
  raise_error(refused("Failed", nb::str(too_long_message(seconds).c_str()), nb::none()));
}

// A bytes object holding what `in` captured; the blocks are let go as they
// are copied, so the samples are held about once.
nb::object bytes_of(Captured& in) {
  char* dst = nullptr;
  nb::object pcm = new_bytes(in.size(), dst);
  nb::gil_scoped_release unlocked;
  in.move_to(dst);
  return pcm;
}

// The file at `path` decoded by the ffmpeg program; an invalid object when
// the program is not on the search path. Decoding stops once the PCM runs
// past the limit.
nb::object ffmpeg_pcm(nb::handle path) {
  const std::vector<std::string> argv = ffmpeg_decode_argv(halvane::py::fs_bytes(path));
  const int64_t limit = limit_seconds();
  ChildOutput out;
  // A pending signal's error (Ctrl-C) is raised once the child is reaped.
  halvane::py::SignalCheck signals;
  bool stopped = false, missing = false, too_long = false;
  {
    nb::gil_scoped_release unlocked;
    try {
      out = run_captured(argv, [&] { return signals(); }, 50, limit_bytes(limit));
    } catch (const halvane::Stopped&) {
      stopped = true;
    } catch (const OutputPastLimit&) {
      too_long = true;
    } catch (const halvane::OSError& e) {
      if (e.err != ENOENT) throw;
      missing = true;
    }
  }
  if (stopped) signals.raise_pending();
  if (too_long) raise_too_long(limit);
  if (missing) return nb::object();
  if (out.status != 0) {
    const std::string err = out.err.str();
    nb::object text = nb::steal(PyUnicode_DecodeUTF8(err.data(), static_cast<Py_ssize_t>(err.size()), "replace"));
    nb::object head = text.is_valid() ? nb::steal(PyUnicode_Substring(text.ptr(), 0, kStderrChars)) : nb::object();
    if (!head.is_valid()) throw nb::python_error();
    raise_error(refused("Failed", nb::str(kUnreadable), head));
  }
  return bytes_of(out.out);
}

nb::object file_pcm(nb::handle obj) {
  nb::object path = check(PyOS_FSPath(obj.ptr()));
  nb::module_ os = nb::module_::import_("os");
  if (!truthy(os.attr("path").attr("isfile")(path)))
    raise_error(PyExc_FileNotFoundError, concat(kNoFile, os.attr("fsdecode")(path)));
  nb::object pcm = ffmpeg_pcm(path);
  return pcm.is_valid() ? pcm : module_global("_decode")(path);
}

// What AudioResampler.resample returned (a list of frames, one frame, or
// nothing), its samples appended to `out`.
void append_resampled(nb::handle res, Captured& out) {
  auto add = [&](nb::handle frame) {
    nb::object b = frame.attr("to_ndarray")().attr("tobytes")();
    out.append(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
  };
  if (res.is_none()) return;
  if (!PyList_Check(res.ptr()) && !PyTuple_Check(res.ptr())) return add(res);
  for (nb::handle f : res) add(f);
}

// The name under which the FFmpeg libraries open the file at `path`: as for
// the ffmpeg program, a relative name that reads as a protocol URL ("pipe:0",
// "http:x") is given as "./" + path, in the path's own type. Anything that
// is no path goes to the libraries as it is, for them to refuse.
nb::object library_input_name(nb::handle path) {
  nb::object p = nb::steal(PyOS_FSPath(path.ptr()));
  if (!p.is_valid()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(path);
  }
  const std::string name = halvane::py::fs_bytes(p);
  if (ffmpeg_input_name(name) == name) return p;
  nb::object prefix = PyBytes_Check(p.ptr()) ? nb::object(nb::bytes("./", 2)) : nb::object(nb::str("./"));
  return check(PySequence_Concat(prefix.ptr(), p.ptr()));
}

// Each decoded frame is resampled as it comes, and decoding stops (with
// OutputPastLimit) once the PCM runs past `limit` bytes.
nb::object decode_unguarded(nb::handle path, size_t limit) {
  nb::module_ av = nb::module_::import_("av");
  Captured out;
  nb::object container = av.attr("open")(library_input_name(path));
  nb::object file = container.attr("__enter__")();
  try {
    nb::object resampler = av.attr("AudioResampler")("format"_a = "s16", "layout"_a = "mono", "rate"_a = kSampleRate);
    for (nb::handle f : file.attr("decode")("audio"_a = 0)) {
      append_resampled(resampler.attr("resample")(f), out);
      if (out.size() > limit) throw OutputPastLimit();
    }
    append_resampled(resampler.attr("resample")(nb::none()), out);
    if (out.size() > limit) throw OutputPastLimit();
  } catch (nb::python_error& e) {
    container.attr("__exit__")(e.type(), e.value(), e.traceback());
    throw;
  } catch (...) {
    container.attr("__exit__")(nb::none(), nb::none(), nb::none());
    throw;
  }
  container.attr("__exit__")(nb::none(), nb::none(), nb::none());
  if (out.size() == 0) raise_error(PyExc_ValueError, nb::str(kNoSamples));
  return bytes_of(out);
}

nb::object decode(nb::handle path) {
  const int64_t limit = limit_seconds();
  try {
    return decode_unguarded(path, limit_bytes(limit));
  } catch (const OutputPastLimit&) {
    raise_too_long(limit);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    raise_from_none(refused("Failed", nb::str(kUnreadable), e.value()), e);
  }
}

nb::object pcm(nb::handle obj) {
  if (is_bytes_like(obj)) {
    return check(PyBytes_FromObject(obj.ptr()));
  }
  if (is_path(obj)) return file_pcm(obj);
  nb::object np = numpy_if_present();
  if (is_ndarray(np, obj)) return array_pcm(np, obj);
  raise_error(PyExc_TypeError, concat(kTypeMessage, obj.type().attr("__name__")));
}

nb::object whole_clip(nb::handle audio) {
  if (is_bytes_like(audio) || is_path(audio) || is_ndarray(numpy_if_present(), audio)) return pcm(audio);
  PyObject* it = PyObject_GetIter(audio.ptr());
  if (!it) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
    return pcm(audio);
  }
  Py_DECREF(it);
  return nb::none();
}

// _chunks(audio, clip): the whole clip as its only chunk, or one chunk per
// piece, each converted when it is asked for.
struct Chunks {
  nb::object audio, clip;
  nb::object pieces{};
  bool started = false;

  nb::object next() {
    if (!started) {
      started = true;
      if (clip.is_none()) clip = whole_clip(audio);
      if (!clip.is_none()) return std::move(clip);
      pieces = nb::iter(audio);
    }
    if (!pieces.is_valid()) return {};
    nb::object item = next_item(pieces);
    return item.is_valid() ? pcm(item) : item;
  }

  template <class F>
  void visit(F&& f) {
    f(audio);
    f(clip);
    f(pieces);
  }
};

// `value` as a double, as Python's arithmetic takes a number; a TypeError
// naming `what` and the value's type for anything that is not a number.
double number(nb::handle value, const char* what) {
  const double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
    raise_error(PyExc_TypeError,
                concat((std::string(what) + kNotANumber).c_str(), value.type().attr("__name__")));
  }
  return v;
}

nb::object expected_frames(nb::handle clip, nb::handle fps) {
  if (clip.is_none() || fps.is_none() || fps.equal(nb::int_(0))) return nb::none();
  nb::module_ session = outside("_session");
  const double per_second = number(session.attr("BYTES_PER_FRAME") * session.attr("FPS"), "BYTES_PER_FRAME x FPS");
  const double seconds = static_cast<double>(nb::len(clip)) / per_second;
  nb::object n = check(PyLong_FromDouble(seconds * number(fps, "frames_per_second")));
  return n >= nb::int_(1) ? n : nb::none();
}

}  // namespace

void bind_intake(nb::module_& m) {
  m.attr("_SAMPLE_RATE") = kSampleRate;
  m.attr("_MAX_AUDIO_SECONDS") = kMaxAudioSeconds;
  bind_generator<Chunks>(m, "_ChunkStream");
  m.def("_pcm", &pcm, "obj"_a.none(), "One audio item (bytes, an array or an audio file path) as PCM bytes.");
  m.def("_decode", &decode, "path"_a.none(), "An audio file decoded to PCM bytes through PyAV.");
  m.def("_whole_clip", &whole_clip, "audio"_a.none(),
        "The PCM of `audio` when it is a single clip, else None (an iterable of pieces).");
  m.def(
      "_chunks",
      [](nb::handle audio, nb::handle clip) { return generator(Chunks{nb::borrow(audio), nb::borrow(clip)}); },
      "audio"_a.none(), "clip"_a.none() = nb::none(),
      "The chunk stream of `audio`: its whole clip, or one PCM chunk per piece, converted when drawn.");
  m.def("_expected_frames", &expected_frames, "clip"_a.none(), "fps"_a.none(),
        "Frames that `clip` should yield at `fps` frames per second, or None.");
}

}  // namespace halvane::open::py
