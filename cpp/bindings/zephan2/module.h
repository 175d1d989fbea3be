// Registration functions of the _tessel_host extension module, one per core
// unit; tessel_host.cc calls them in start-up order.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/common/numpy.h"
#include "zephan2/inference/litert_chain.h"
#include "zephan2/inference/sliding_pcm.h"

namespace z2::py {

namespace nb = nanobind;

void bind_constants(nb::module_& m);
void bind_elog(nb::module_& m);
void bind_sliding_pcm(nb::module_& m);
void bind_wsola(nb::module_& m);
void bind_dec_inputs(nb::module_& m);
void bind_cpu_budget(nb::module_& m);
void bind_color(nb::module_& m);
void bind_rgb888(nb::module_& m);
void bind_litert_chain(nb::module_& m);
void bind_renderer(nb::module_& m);
void bind_host(nb::module_& m);
void bind_containers(nb::module_& m);
void bind_staging(nb::module_& m);  // also registers the exit hook
void load_policy(nb::module_& m);   // sets _SED and _SED_WHY

// The LiteRT runtime reached through its Python interpreter API.
ModelRuntime litert_runtime();

// A block of audio for SlidingPCM::append: float32 samples (empty for an
// empty block of any shape) and whether the block's memory overlaps the
// buffer. Raises ValueError for a non-empty block that is not 1-D.
struct PcmBlock {
  halvane::py::Contig<float> samples;
  bool overlaps = false;
};
PcmBlock pcm_block(nb::handle block, const SlidingPCM& pcm);

}  // namespace z2::py
