// The fixture engine: renders ostrel1 avatars by driving the engine runtime
// (the outside module _core) directly, on the caller's thread.
#include <nanobind/ndarray.h>

#include <algorithm>
#include <memory>

#include "bindings/open/module.h"
#include "bindings/open/outside.h"
#include "open/intake.h"

namespace halvane::open::py {

using namespace nb::literals;

namespace {

constexpr const char* kUnusable = "that is not a usable avatar";
constexpr const char* kOddBuffer = "buffer size must be a multiple of element size";

// The engine keeps its state in its instance dictionary, as a plain class
// does: `_fx` (the loaded fixture) and `_rt` (the runtime), both None after
// close().
struct FixtureEngine {};

template <class T>
nb::object owned_array(std::unique_ptr<T[]> data, std::initializer_list<size_t> shape) {
  T* p = data.release();
  nb::capsule owner(p, [](void* q) noexcept { delete[] static_cast<T*>(q); });
  return nb::cast(nb::ndarray<nb::numpy, T>(p, shape.size(), shape.begin(), owner));
}

// A PCM chunk as float32 samples in [-1, 1).
nb::object chunk_samples(nb::handle chunk) {
  Py_buffer view;
  if (PyObject_GetBuffer(chunk.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
  const size_t bytes = static_cast<size_t>(view.len);
  if (bytes % 2 != 0) {
    PyBuffer_Release(&view);
    raise_py(PyExc_ValueError, nb::str(kOddBuffer));
  }
  const size_t n = bytes / 2;
  std::unique_ptr<float[]> out(new float[std::max<size_t>(n, 1)]);
  {
    nb::gil_scoped_release unlocked;
    pcm16_to_float(view.buf, n, out.get());
  }
  PyBuffer_Release(&view);
  return owned_array(std::move(out), {n});
}

// A new contiguous copy of a height x width x channels picture with its last
// axis reversed (BGR to RGB).
nb::object channels_reversed(nb::handle picture) {
  nb::ndarray<nb::ro, const uint8_t, nb::ndim<3>, nb::device::cpu> a;
  if (!nb::try_cast(picture, a, false)) {
    nb::module_ np = nb::module_::import_("numpy");
    nb::object arr = np.attr("asarray")(picture);
    nb::object step = nb::steal(PySlice_New(nullptr, nullptr, nb::int_(-1).ptr()));
    nb::object idx = nb::make_tuple(nb::ellipsis(), step);
    return np.attr("ascontiguousarray")(arr[idx]);
  }
  const size_t h = a.shape(0), w = a.shape(1), c = a.shape(2);
  std::unique_ptr<uint8_t[]> out(new uint8_t[std::max<size_t>(h * w * c, 1)]);
  {
    nb::gil_scoped_release unlocked;
    reverse_channels(a.data(), a.stride(0), a.stride(1), a.stride(2), h, w, c, out.get());
  }
  return owned_array(std::move(out), {h, w, c});
}

// The generator of one frames() call: the runtime is taken at its first step;
// each non-empty chunk is pushed, then every ready tick is pulled and handed
// out before the next chunk is drawn.
struct FixtureFrames {
  nb::object engine, chunks, pieces, runtime;
  enum { fresh, pulling, drawing, over } state = fresh;

  template <class F>
  void visit(F&& f) {
    f(engine);
    f(chunks);
    f(pieces);
    f(runtime);
  }

  nb::object next() {
    if (state == over) throw nb::stop_iteration();
    try {
      if (state == fresh) {
        runtime = nb::getattr(engine, "_rt");
        pieces = nb::steal(PyObject_GetIter(chunks.ptr()));
        if (!pieces.is_valid()) throw nb::python_error();
        state = drawing;
      }
      for (;;) {
        if (state == pulling) {
          nb::object ready = runtime.attr("ticks_available")();
          const int more = PyObject_RichCompareBool(ready.ptr(), nb::int_(0).ptr(), Py_GT);
          if (more < 0) throw nb::python_error();
          if (more) {
            nb::object pulled = runtime.attr("pull_frame")();
            nb::object bgr = PyTuple_Check(pulled.ptr()) ? nb::object(pulled[1]) : pulled;
            return channels_reversed(bgr);
          }
          state = drawing;
        }
        nb::object chunk = nb::steal(PyIter_Next(pieces.ptr()));
        if (!chunk.is_valid()) {
          if (PyErr_Occurred()) throw nb::python_error();
          state = over;
          throw nb::stop_iteration();
        }
        const int nonempty = PyObject_IsTrue(chunk.ptr());
        if (nonempty < 0) throw nb::python_error();
        if (!nonempty) continue;
        nb::object samples = chunk_samples(chunk);
        runtime.attr("push_audio")(samples);
        state = pulling;
      }
    } catch (...) {
      state = over;
      throw;
    }
  }
};

}  // namespace

void bind_fixture(nb::module_& m) {
  note_package(m);

  nb::class_<FixtureFrames>(m, "_FixtureFrames", nb::type_slots(gc_slots<FixtureFrames>()))
      .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
      .def("__next__", &FixtureFrames::next)
      .def("close", [](FixtureFrames& g) {
        g.state = FixtureFrames::over;
        g.visit([](nb::object& o) { o.reset(); });
      });

  nb::class_<FixtureEngine>(m, "_FixtureEngine", nb::dynamic_attr())
      .def(
          "__init__",
          [](nb::pointer_and_handle<FixtureEngine> self, nb::handle source) {
            nb::module_ core = outside("_core");
            nb::object mixin = outside("_loader").attr("NativeFixtureLoaderMixin");
            nb::module_ threads_mod = outside("_threads");
            nb::object family = threads_mod.attr("OSTREL1");
            nb::object default_threads = threads_mod.attr("default_threads");

            mixin.attr("_register_default_audio_encoder")();
            nb::object threads = default_threads(family);
            nb::object fx;
            try {
              fx = core.attr("Fixture")(source, "preferred_ep"_a = core.attr("EP_AUTO"),
                                        "intra_op_threads"_a = threads);
            } catch (nb::python_error& e) {
              if (!e.matches(PyExc_Exception)) throw;
              raise_refused("InvalidAvatar", kUnusable, e.value(), true);
            }
            new (self.p) FixtureEngine();
            nb::setattr(self.h, "_fx", fx);
            nb::setattr(self.h, "_rt", core.attr("Runtime")(fx));
          },
          "source"_a.none())
      .def(
          "frames",
          [](nb::handle self, nb::handle chunks) {
            FixtureFrames g;
            g.engine = nb::borrow(self);
            g.chunks = nb::borrow(chunks);
            return nb::cast(std::move(g));
          },
          "chunks"_a.none(), "A generator of RGB frames rendered from the PCM chunks of `chunks`.")
      .def(
          "interrupt",
          [](nb::handle self) {
            try {
              nb::getattr(self, "_rt").attr("reset_stream")();
            } catch (nb::python_error& e) {
              if (!e.matches(PyExc_Exception)) throw;
            }
          },
          "Empties the runtime's stream, so the next render starts clean.")
      .def(
          "close",
          [](nb::handle self) {
            nb::setattr(self, "_rt", nb::none());
            nb::setattr(self, "_fx", nb::none());
          },
          "Drops the runtime and the fixture.");
}

}  // namespace halvane::open::py
