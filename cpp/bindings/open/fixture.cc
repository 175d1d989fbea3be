// The fixture engine: renders ostrel1 avatars by driving the engine runtime
// (the outside module _core) directly, on the caller's thread.
#include <nanobind/ndarray.h>

#include <algorithm>
#include <memory>

#include "bindings/open/generator.h"
#include "bindings/open/module.h"
#include "bindings/open/outside.h"
#include "open/intake.h"
#include "open/messages.h"

namespace halvane::open::py {

using namespace nb::literals;

namespace {


// `_fx`, the loaded fixture, and `_rt`, the runtime built on it; both None
// after close().
struct FixtureEngine {
  nb::object fx, rt;

  template <class F>
  void visit(F&& f) {
    f(fx);
    f(rt);
  }
};

// A new NumPy array of `shape` owning `data`.
template <class T>
nb::object owned_array(std::unique_ptr<T[]> data, std::initializer_list<size_t> shape) {
  T* p = data.release();
  nb::capsule owner(p, [](void* q) noexcept { delete[] static_cast<T*>(q); });
  return nb::cast(nb::ndarray<nb::numpy, T>(p, shape.size(), shape.begin(), owner));
}

// Samples converted and pushed at a time: a long clip is held once, as the
// intake's PCM, and the runtime holds at most one piece of it.
constexpr size_t kPieceSamples = 8192;

// Samples [start, start + n) of a PCM chunk as float32 samples in [-1, 1).
nb::object piece_samples(const Buffer& buf, size_t start, size_t n) {
  std::unique_ptr<float[]> out(new float[std::max<size_t>(n, 1)]);
  {
    nb::gil_scoped_release unlocked;
    pcm16_to_float(static_cast<const char*>(buf.data()) + 2 * start, n, out.get());
  }
  return owned_array(std::move(out), {n});
}

// A new contiguous copy of a height x width x channels picture with its last
// axis reversed (BGR to RGB).
nb::object channels_reversed(nb::handle picture) {
  nb::ndarray<nb::ro, const uint8_t, nb::ndim<3>, nb::device::cpu> a;
  if (!nb::try_cast(picture, a, false)) {  // not a uint8 picture: NumPy does it
    nb::module_ np = nb::module_::import_("numpy");
    nb::object last_axis_reversed = nb::make_tuple(nb::ellipsis(), nb::slice(nb::none(), nb::none(), nb::int_(-1)));
    return np.attr("ascontiguousarray")(np.attr("asarray")(picture)[last_axis_reversed]);
  }
  const size_t h = a.shape(0), w = a.shape(1), c = a.shape(2);
  std::unique_ptr<uint8_t[]> out(new uint8_t[std::max<size_t>(h * w * c, 1)]);
  {
    nb::gil_scoped_release unlocked;
    reverse_channels(a.data(), a.stride(0), a.stride(1), a.stride(2), h, w, c, out.get());
  }
  return owned_array(std::move(out), {h, w, c});
}

// The body of frames(chunks): the runtime is taken at the first step, and its
// stream is emptied before the first push, so that nothing of an earlier clip
// reaches this one; each non-empty chunk is pushed a piece at a time, every
// ready tick pulled and handed out before the next piece.
struct FixtureFrames {
  nb::object engine, chunks;  // chunks: the iterable, from the first step its iterator
  nb::object runtime{}, chunk{};
  size_t pushed = 0, samples = 0;  // of the chunk being pushed
  bool started = false, pulling = false, clean = false;

  nb::object next() {
    if (!started) {
      started = true;
      runtime = nb::inst_ptr<FixtureEngine>(engine)->rt;
      chunks = nb::iter(chunks);
    }
    for (;;) {
      if (pulling) {
        if (runtime.attr("ticks_available")() > nb::int_(0)) {
          nb::object pulled = runtime.attr("pull_frame")();
          return channels_reversed(PyTuple_Check(pulled.ptr()) ? nb::object(pulled[1]) : pulled);
        }
        pulling = false;
      }
      if (pushed < samples) {
        if (!clean) {
          clean = true;
          runtime.attr("reset_stream")();
        }
        Buffer buf(chunk);
        const size_t n = std::min(kPieceSamples, samples - pushed);
        runtime.attr("push_audio")(piece_samples(buf, pushed, n));
        pushed += n;
        pulling = true;
        continue;
      }
      chunk = next_item(chunks);
      if (!chunk.is_valid()) return chunk;
      if (!truthy(chunk)) continue;
      Buffer buf(chunk);
      if (buf.size() % 2 != 0) raise_error(PyExc_ValueError, nb::str(kOddBuffer));
      pushed = 0;
      samples = buf.size() / 2;
    }
  }

  template <class F>
  void visit(F&& f) {
    f(engine);
    f(chunks);
    f(runtime);
    f(chunk);
  }
};

void init(FixtureEngine* self, nb::handle source) {
  nb::module_ core = outside("_core");
  nb::object mixin = outside("_loader").attr("NativeFixtureLoaderMixin");
  nb::module_ threads_module = outside("_threads");
  nb::object family = threads_module.attr("OSTREL1");
  nb::object default_threads = threads_module.attr("default_threads");

  mixin.attr("_register_default_audio_encoder")();
  nb::object threads = default_threads(family);
  nb::object fx;
  try {
    fx = core.attr("Fixture")(source, "preferred_ep"_a = core.attr("EP_AUTO"), "intra_op_threads"_a = threads);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    raise_from_none(refused("InvalidAvatar", nb::str(kUnusable), e.value()), e);
  }
  nb::object rt = core.attr("Runtime")(fx);
  new (self) FixtureEngine{fx, rt};
}

}  // namespace

void bind_fixture(nb::module_& m) {
  bind_generator<FixtureFrames>(m, "_FixtureFrames");
  nb::class_<FixtureEngine>(m, "_FixtureEngine", nb::type_slots(gc_slots<FixtureEngine>()))
      .def("__init__", &init, "source"_a.none())
      .def_rw("_fx", &FixtureEngine::fx, none_too(), "the loaded fixture, or None once closed")
      .def_rw("_rt", &FixtureEngine::rt, none_too(), "the runtime, or None once closed")
      .def(
          "frames",
          [](nb::handle self, nb::handle chunks) {
            return generator(FixtureFrames{nb::borrow(self), nb::borrow(chunks)});
          },
          "chunks"_a.none(), "A generator of RGB frames rendered from the PCM chunks of `chunks`.")
      .def(
          "interrupt",
          [](FixtureEngine& e) {
            ignoring_exceptions([&] { e.rt.attr("reset_stream")(); });
          },
          "Empties the runtime's stream, so the next render starts clean.")
      .def(
          "close",
          [](FixtureEngine& e) {
            e.rt = nb::none();
            e.fx = nb::none();
          },
          "Drops the runtime and the fixture.");
}

}  // namespace halvane::open::py
