// Registration functions of the _tessel_host extension module, one per core
// unit; tessel_host.cc calls them in start-up order.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <optional>
#include <string>

#include "bindings/common/numpy.h"
#include "zephan2/host/shared_enc.h"
#include "zephan2/inference/litert_chain.h"
#include "zephan2/inference/sliding_pcm.h"

namespace z2::py {

namespace nb = nanobind;

void bind_constants(nb::module_& m);
void bind_log(nb::module_& m);
void bind_sliding_pcm(nb::module_& m);
void bind_wsola(nb::module_& m);
void bind_dec_inputs(nb::module_& m);
void bind_cpu_budget(nb::module_& m);
void bind_color(nb::module_& m);
void bind_rgb888(nb::module_& m);
void bind_litert_chain(nb::module_& m);
void bind_renderer(nb::module_& m);
void bind_q8gd(nb::module_& m);
void bind_shared_enc(nb::module_& m);
void bind_host(nb::module_& m);
void bind_containers(nb::module_& m);
void bind_staging(nb::module_& m);  // also registers the exit hook
void load_policy(nb::module_& m);   // sets _SED and _SED_WHY

// The LiteRT runtime reached through its Python interpreter API.
ModelRuntime litert_runtime();
// The installed "ai-edge-litert" version text, or nullopt (takes the GIL itself).
std::optional<std::string> litert_runtime_version();

// The loaded `shared_enc_dep` module behind BasePolicy; every call takes the GIL.
class PyPolicy final : public BasePolicy {
 public:
  explicit PyPolicy(nb::handle module);
  ~PyPolicy() override;
  std::string shared_enc_id() override;
  std::optional<std::string> declared_sha(std::string_view manifest) override;
  std::vector<std::string> store_candidates(const std::string& want) override;
  bool verify_base(const std::string& path, const std::string& want) override;

 private:
  nb::object mod_;
};
// The policy of the host module's `_SED`, or null when it is None.
std::unique_ptr<PyPolicy> policy_of(nb::handle host_module);

// A block of audio for SlidingPCM::append: float32 samples (empty for an
// empty block of any shape) and whether the block's memory overlaps the
// buffer. Raises ValueError for a non-empty block that is not 1-D.
struct PcmBlock {
  halvane::py::Contig<float> samples;
  bool overlaps = false;
};
PcmBlock pcm_block(nb::handle block, const SlidingPCM& pcm);

}  // namespace z2::py
