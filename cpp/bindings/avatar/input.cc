// Audio input: `push_audio`, `push` and `flush` put one control record each
// on the input queue for the producer; `push_audio` and `flush` also keep the
// arrival statistics (when the current run of audio began to arrive, how many
// seconds of it have come, when its input was complete) that the playout
// clock reads; which call opens or ends a run is avatar/arrival.h's rule. And
// `_mono`, which the record module applies to an int16 array of channels
// (mixed down to one by the same rule as the offline intake,
// common/channels.h), and the module's two PCM helpers, `_i16_to_f32` and `_resample_linear`, which
// the producer applies to pushed audio; which way they go is avatar/pcm.h's.
//
// Threading: the coroutines and the statistics run on the event loop's
// thread; each statistic is written before the put of the record it
// describes is awaited. The PCM helpers run their per-sample loops with the
// GIL released, on whatever thread calls them.
#include <nanobind/ndarray.h>

#include "avatar/arrival.h"
#include "avatar/pcm.h"
#include "bindings/avatar/session.h"
#include "bindings/common/channels.h"

namespace halvane::avatar::py {

namespace {

using aio::Co;
using aio::py::await_;

// Seconds of a piece's audio: its samples over its rate, both as the record
// holds them once checked.
nb::object seconds_of(nb::handle chunk) {
  return check(PyNumber_TrueDivide(get(get(chunk, "data"), "size").ptr(), get(chunk, "sample_rate").ptr()));
}

// An int16 array of more than one dimension taken as the offline intake
// takes it (common/channels.h): its channels mixed down to one by their
// mean, a single row or column as it lies, a shape that does not tell
// refused. Anything else is the record's to take or refuse as it comes.
nb::object mono(nb::object data) {
  Env& e = env();
  if (!is_instance(data, e.np.attr("ndarray")) || nb::cast<int>(data.attr("ndim")) < 2) return data;
  nb::object dtype = data.attr("dtype");
  if (!dtype.attr("kind").equal(nb::str("i")) || nb::cast<int>(dtype.attr("itemsize")) != 2) return data;
  if (!dtype.equal(e.np.attr("dtype")("int16"))) data = data.attr("astype")("int16");  // the other byte order
  halvane::py::StridedView v(data);
  const auto c = halvane::py::channel_layout(v, data.attr("shape"));
  if (!c) return data;
  nb::object out = e.np.attr("empty")(c->frames, nb::arg("dtype") = "int16");
  int16_t* dst = data_of<int16_t>(out);
  nb::gil_scoped_release unlocked;
  mix_down<int16_t>(v.data(), c->frames, c->channels, c->frame_stride, c->channel_stride, dst);
  return out;
}

Co<nb::object> push_audio(nb::handle self, nb::object data, nb::object sample_rate, nb::object last_chunk) {
  Env& e = env();
  adopt_running_loop(self);
  nb::object control = e.VideoControl.attr("from_audio")(std::move(data), sample_rate, last_chunk);
  self.attr("_note_arrival")(seconds_of(control.attr("audio")));
  if (truthy(last_chunk)) self.attr("_arrival_ended")();
  co_await await_(Session(self).in_queue().attr("put")(control));
  co_return nb::none();
}

Co<nb::object> push(nb::handle self, nb::object control) {
  adopt_running_loop(self);
  co_await await_(Session(self).in_queue().attr("put")(control));
  co_return nb::none();
}

Co<nb::object> flush(nb::handle self) {
  adopt_running_loop(self);
  self.attr("_arrival_ended")();
  nb::object control = env().VideoControl(nb::arg("end_of_speech") = true);
  co_await await_(Session(self).in_queue().attr("put")(control));
  co_return nb::none();
}

// The run rules are ArrivalRun's; the seconds stay the Python number that
// the sum of the positive amounts gives (compared and added as Python does).
void note_arrival(nb::handle self, nb::handle seconds) {
  const Session s(self);
  ArrivalRun run{s.arr_t0(), s.arr_done()};
  if (run.note(now())) {
    s.set_arr_t0(run.t0);
    s.set_arr_s(nb::float_(0.0));
    s.set_arr_done(run.done);
  }
  nb::object zero = nb::float_(0.0);
  const bool positive = greater(seconds, zero);
  nb::object total = s.arr_s();
  s.set_arr_s(check(PyNumber_Add(total.ptr(), positive ? seconds.ptr() : zero.ptr())));
}

void arrival_ended(nb::handle self) {
  const Session s(self);
  ArrivalRun run{std::nullopt, s.arr_done()};
  if (run.end(now())) s.set_arr_t_end(*run.t_end);
  s.set_arr_done(run.done);
}

// Forgets the run (an interruption); the last end time stays, unread while
// the run is not done.
void arrival_dropped(nb::handle self) {
  const Session s(self);
  s.set_arr_t0(std::nullopt);
  s.set_arr_s(nb::float_(0.0));
  s.set_arr_done(false);
}

// --- PCM helpers ---

bool is_dtype(nb::handle arr, const char* name) {
  return arr.attr("dtype").equal(env().np.attr("dtype")(name));
}
bool is_ndarray(nb::handle obj) { return is_instance(obj, env().np.attr("ndarray")); }
// C-contiguous and aligned: memory the loops may read as a plain T array.
bool plain_layout(nb::handle arr) {
  nb::object flags = arr.attr("flags");
  return truthy(flags.attr("c_contiguous")) && truthy(flags.attr("aligned"));
}

// The facts i16_to_f32_way() (avatar/pcm.h) asks of an array.
struct ToFloatProbe {
  nb::handle arr;
  bool ndarray() { return is_ndarray(arr); }
  bool int16() { return is_dtype(arr, "int16"); }
  bool plain() { return plain_layout(arr); }
};

// arr.astype(float32) / float(INT16_MAX): a new float32 array of arr's shape.
nb::object i16_to_f32_py(nb::object arr) {
  Env& e = env();
  const float int16_max = static_cast<float>(e.int16_max);
  ToFloatProbe probe{arr};
  if (i16_to_f32_way(probe) == ToFloat::native) {
    nb::object out = e.np.attr("empty")(arr.attr("shape"), nb::arg("dtype") = "float32");
    const int16_t* in = data_of<const int16_t>(arr);
    float* dst = data_of<float>(out);
    const auto n = static_cast<size_t>(size_of(arr));
    nb::gil_scoped_release unlocked;
    i16_to_f32(in, n, dst, int16_max);
    return out;
  }
  nb::object out = arr.attr("astype")(e.np.attr("float32"), nb::arg("order") = "C");
  float* dst = data_of<float>(out);
  const auto n = static_cast<size_t>(size_of(out));
  nb::gil_scoped_release unlocked;
  scale_down(dst, n, int16_max);
  return out;
}

// The facts resample_way() (avatar/pcm.h) asks, and what the answer is made
// from: the size, the resampled length and the element type.
struct ResampleProbe {
  nb::handle pcm, src_sr, dst_sr;
  nb::object size, dtype;
  Py_ssize_t n_out = 0;

  bool same_rates() { return src_sr.equal(dst_sr); }
  bool no_samples() {
    size = pcm.attr("size");
    return size.equal(nb::int_(0));
  }
  int64_t length() {
    nb::object ratio =
        check(PyNumber_TrueDivide(check(PyNumber_Multiply(size.ptr(), dst_sr.ptr())).ptr(), src_sr.ptr()));
    nb::object rounded = nb::module_::import_("builtins").attr("round")(ratio);  // halves to even
    n_out = PyLong_AsSsize_t(rounded.ptr());
    if (n_out == -1 && PyErr_Occurred()) throw nb::python_error();
    dtype = pcm.attr("dtype");
    return n_out;
  }
  bool float32() { return is_dtype(pcm, "float32"); }
  bool float64() { return is_dtype(pcm, "float64"); }
  bool ndarray() { return is_ndarray(pcm); }
  bool one_dim() { return nb::cast<long>(pcm.attr("ndim")) == 1; }
};

// The loop over a 1-D array of T, copied first when its memory is not plain.
template <class T>
nb::object resample_native(const ResampleProbe& p) {
  Env& e = env();
  nb::object src = e.np.attr("ascontiguousarray")(p.pcm);
  if (!plain_layout(src)) src = src.attr("copy")();
  nb::object out = e.np.attr("empty")(p.n_out, nb::arg("dtype") = p.dtype);
  const auto n = static_cast<size_t>(size_of(src)), m = static_cast<size_t>(p.n_out);
  const T* in = data_of<const T>(src);
  T* dst = data_of<T>(out);
  nb::gil_scoped_release unlocked;
  resample_linear(in, n, dst, m);
  return out;
}

// pcm at src_sr Hz linearly interpolated to dst_sr Hz (see avatar/pcm.h).
nb::object resample_linear_py(nb::object pcm, nb::object src_sr, nb::object dst_sr) {
  Env& e = env();
  ResampleProbe p{pcm, src_sr, dst_sr};
  switch (resample_way(p)) {
    case Resample::same:
      return pcm;
    case Resample::empty:
      return e.np.attr("empty")(0, nb::arg("dtype") = p.dtype);
    case Resample::native_f32:
      return resample_native<float>(p);
    case Resample::native_f64:
      return resample_native<double>(p);
    case Resample::library:
      break;
  }
  // The array library's results and errors for the other element types
  // and shapes.
  nb::object linspace = e.np.attr("linspace");
  nb::object x_new = linspace(0.0, 1.0, p.n_out, nb::arg("endpoint") = false);
  nb::object x_old = linspace(0.0, 1.0, p.size, nb::arg("endpoint") = false);
  return e.np.attr("interp")(x_new, x_old, pcm).attr("astype")(p.dtype, nb::arg("copy") = false);
}

}  // namespace

void add_input(nb::module_& m, Members& ns) {
  using namespace nb::literals;
  ns["push_audio"] = method(
      [](nb::object self, nb::object data, nb::object sample_rate, nb::object last_chunk) {
        return aio::py::coroutine(
            push_audio(self, std::move(data), std::move(sample_rate), std::move(last_chunk)),
            "push_audio", self);
      },
      "data"_a.none(), "sample_rate"_a.none(), "last_chunk"_a.none() = true,
      nb::sig("def push_audio(self, data: bytes | numpy.ndarray, sample_rate: int, last_chunk: bool = True) -> "
              "collections.abc.Coroutine[typing.Any, typing.Any, None]"),
      "Queues a piece of 16-bit mono PCM at sample_rate Hz; last_chunk ends the utterance.");
  ns["push"] = method(
      [](nb::object self, nb::object control) {
        return aio::py::coroutine(push(self, std::move(control)), "push", self);
      },
      "control"_a.none(),
      nb::sig("def push(self, control: halvane._models.VideoControl) -> "
              "collections.abc.Coroutine[typing.Any, typing.Any, None]"),
      "Queues a control record as it is.");
  ns["_note_arrival"] = method(&note_arrival, "seconds"_a.none());
  ns["_arrival_ended"] = method(&arrival_ended);
  ns["_arrival_dropped"] = method(&arrival_dropped);
  ns["flush"] = method([](nb::object self) { return aio::py::coroutine(flush(self), "flush", self); },
                       nb::sig("def flush(self) -> collections.abc.Coroutine[typing.Any, typing.Any, None]"),
                       "Ends the utterance pushed so far.");

  m.def("_mono", &mono, "data"_a.none(),
        "An int16 array of channels mixed down to one by their mean, as the offline intake takes it; "
        "anything else as it is.");
  m.def("_i16_to_f32", &i16_to_f32_py, "arr"_a.none(),
        "int16 samples as a new float32 array of the same shape, divided by INT16_MAX (no clipping).");
  m.def("_resample_linear", &resample_linear_py, "pcm"_a.none(), "src_sr"_a.none(), "dst_sr"_a.none(),
        "pcm (1-D) at src_sr Hz linearly resampled to dst_sr Hz, in pcm's dtype; pcm itself for equal rates "
        "or no samples.");
}

}  // namespace halvane::avatar::py
