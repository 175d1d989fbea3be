// Registration functions of the _tessel_host extension module, one per core
// unit; tessel_host.cc calls them in start-up order.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <optional>
#include <string>

#include "bindings/common/numpy.h"
#include "zephan2/host/color_table.h"
#include "zephan2/host/q8gd.h"
#include "zephan2/host/shared_enc.h"
#include "zephan2/inference/litert_chain.h"
#include "zephan2/inference/sliding_pcm.h"

namespace halvane::zephan2::py {

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
// The host's Python edge, handed to bundle loading (each takes the GIL itself).
Q8gdChoice select_q8gd_in_python(const std::string& bundle);
ColorParse parse_color_in_python(std::optional<std::string_view> raw, std::string_view source);

// A function of one of the host's Python edge modules, halvane._zephan2.<module>:
// the parts whose texts must read as Python writes them. Those modules import
// this one, so they are imported when first called, never while it loads.
inline nb::object edge_fn(const char* module, const char* name) {
  return nb::module_::import_((std::string("halvane._zephan2.") + module).c_str()).attr(name);
}

// Exposes edge_fn(module, name) on `m` under the same name, with its arguments as given.
inline void def_edge(nb::module_& m, const char* module, const char* name, const char* doc) {
  m.def(
      name, [module, name](nb::args args, nb::kwargs kwargs) { return edge_fn(module, name)(*args, **kwargs); },
      doc);
}

// A Python text as UTF-8 for the C++ side; lone surrogates become their escape text.
inline std::string utf8_text(nb::handle text) {
  nb::object b = text.attr("encode")("utf-8", "backslashreplace");
  return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

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

}  // namespace halvane::zephan2::py
