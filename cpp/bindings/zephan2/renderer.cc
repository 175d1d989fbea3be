#include "zephan2/inference/renderer.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>

#include "bindings/common/numpy.h"
#include "bindings/zephan2/module.h"
#include "zephan2/host/settings.h"
#include "zephan2/inference/constants.h"

namespace halvane::zephan2::py {

using halvane::py::share_array;
using halvane::py::tensor_to_numpy;

namespace {

// The RenderedFrame record type: a named pair (index, pixels).
nb::handle rendered_frame_type() {
  static PyObject* type = [] {
    nb::object t = nb::module_::import_("collections").attr("namedtuple")("RenderedFrame", nb::make_tuple("index", "pixels"));
    t.attr("__module__") = "halvane._zephan2._tessel_host";
    return t.release().ptr();  // lives as long as the process
  }();
  return type;
}

// Items of rendered chunks: each frame a read-only row view of its chunk's
// pixel array; a repeated frame is the same view object.
nb::list frame_items(const std::vector<RenderedChunk>& chunks) {
  nb::list out;
  nb::handle rf = rendered_frame_type();
  for (const RenderedChunk& c : chunks) {
    nb::object flat = share_array<uint8_t>(c.pixels, c.pixels.get(),
                                           {static_cast<size_t>(c.n), static_cast<size_t>(FRAME_BYTES)}, true);
    std::vector<nb::object> rows(static_cast<size_t>(c.n));
    for (const RenderedFrame& f : c.frames) {
      nb::object& row = rows[static_cast<size_t>(f.row)];
      if (!row.is_valid()) row = flat[nb::int_(f.row)];
      out.append(rf(f.index, row));
    }
  }
  return out;
}

template <class Op>
nb::list render(Renderer& r, Op op) {
  std::vector<RenderedChunk> chunks;
  {
    nb::gil_scoped_release unlocked;
    chunks = (r.*op)();
  }
  return frame_items(chunks);
}

}  // namespace

void bind_renderer(nb::module_& m) {
  m.attr("RenderedFrame") = rendered_frame_type();
  nb::class_<Renderer>(m, "Renderer")
      .def(
          "__init__",
          [](Renderer* self, std::shared_ptr<LitertChain> chain, std::shared_ptr<ColorCorrect> cc) {
            new (self) Renderer(std::move(chain), std::move(cc), host_rgb_settings());
          },
          nb::arg("chain"), nb::arg("cc").none() = nb::none())
      .def(
          "feed",
          [](Renderer& r, nb::handle pcm) {
            PcmBlock b = pcm_block(pcm, *r.pcm());
            nb::gil_scoped_release unlocked;
            r.feed(b.samples.data, static_cast<int64_t>(b.samples.size), b.overlaps);
          },
          nb::arg("pcm"))
      .def("ready_chunks", [](Renderer& r) { return render(r, static_cast<std::vector<RenderedChunk> (Renderer::*)()>(&Renderer::ready_chunks)); })
      .def("flush_chunks", [](Renderer& r) { return render(r, static_cast<std::vector<RenderedChunk> (Renderer::*)()>(&Renderer::flush_chunks)); })
      .def("reset", [](Renderer& r) {
        nb::gil_scoped_release unlocked;
        r.reset();
      })
      .def("rtf", &Renderer::rtf)
      .def_static("_need", &Renderer::need, nb::arg("ci"))
      .def_static("_ready_items", &Renderer::ready_items, nb::arg("fed"),
                  "Frame items ready_chunks writes over a stream fed `fed` samples.")
      .def("_window", [](const Renderer& r, int64_t ci) { return tensor_to_numpy(r.window(ci)); }, nb::arg("ci"))
      .def("_process_chunk", [](Renderer& r, int64_t ci) {
        std::vector<RenderedChunk> chunks;
        {
          nb::gil_scoped_release unlocked;
          chunks.push_back(r.process_chunk(ci));
        }
        return frame_items(chunks);
      }, nb::arg("ci"))
      .def("_trim_audio", &Renderer::trim_audio)
      .def_prop_ro("chain", [](const Renderer& r) { return std::const_pointer_cast<LitertChain>(r.chain()); })
      .def_prop_ro("cc", [](const Renderer& r) { return std::const_pointer_cast<ColorCorrect>(r.cc()); })
      .def_prop_ro("rgb_threads", &Renderer::rgb_threads)
      .def_prop_ro("_pcm", [](const Renderer& r) { return r.pcm(); })
      .def_prop_ro("buf", [](const Renderer& r) {
        FloatView v = r.pcm()->live();
        return share_array<float>(v.owner, v.data, {static_cast<size_t>(v.size)}, true);
      })
      .def_prop_ro("buf_base", [](const Renderer& r) { return r.pcm()->base(); })
      .def_prop_ro("fed_samples", [](const Renderer& r) { return r.pcm()->fed(); })
      .def_prop_ro("ci", &Renderer::ci)
      .def_prop_ro("hist", [](const Renderer& r) {
        Tensor h = r.hist();
        h.writeable = false;
        return tensor_to_numpy(h);
      })
      .def_prop_ro("prev_lat", [](const Renderer& r) -> nb::object {
        if (!r.prev_lat()) return nb::none();
        Tensor l = *r.prev_lat();
        l.writeable = false;
        return tensor_to_numpy(l);
      })
      .def_prop_ro("px_frame", &Renderer::px_frame)
      .def_prop_ro("_c_wall", &Renderer::c_wall)
      .def_prop_ro("_m_wall", &Renderer::m_wall)
      .def_prop_ro("_c_n", &Renderer::c_n);
}

}  // namespace halvane::zephan2::py
