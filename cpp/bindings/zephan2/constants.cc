#include <nanobind/stl/string.h>

#include "bindings/zephan2/module.h"
#include "zephan2/inference/constants.h"
#include "zephan2/inference/dec_inputs.h"

namespace halvane::zephan2::py {

void bind_constants(nb::module_& m) {
  m.attr("SR") = SR;
  m.attr("SPF") = SPF;
  m.attr("SPC") = SPC;
  m.attr("FPS") = FPS;
  m.attr("WIN_SAMPLES") = WIN_SAMPLES;
  m.attr("TEMPO_SAMPLES") = TEMPO_SAMPLES;
  m.attr("CHUNK0_LAT") = CHUNK0_LAT;
  m.attr("STEADY_LAT") = STEADY_LAT;
  m.attr("STEADY_PX") = STEADY_PX;
  // Frames of a stream's first chunk (21): its first latent gives only its last phase.
  m.attr("CHUNK0_PX") = dec_rows(CHUNK0_LAT, nullptr);
  m.attr("PRESENT_DELAY_FRAMES") = PRESENT_DELAY_FRAMES;
  m.attr("LC") = LC;
  m.attr("LH") = LH;
  m.attr("LW") = LW;
  m.attr("CTX") = CTX;
  m.attr("NA") = NA;
  m.attr("CA") = CA;
  m.attr("FH") = FH;
  m.attr("FW") = FW;
  m.attr("PLANE") = PLANE;
  m.attr("SR_WSOLA_SEGMENT") = SR_WSOLA_SEGMENT;
  m.attr("SR_WSOLA_OVERLAP") = SR_WSOLA_OVERLAP;
  m.attr("SR_WSOLA_SEARCH") = SR_WSOLA_SEARCH;
  nb::list sigs;
  for (auto s : SIGS) sigs.append(nb::str(s.data(), s.size()));
  m.attr("_SIGS") = nb::tuple(sigs);
  auto text = [](std::string_view s) { return nb::str(s.data(), s.size()); };
  m.attr("COLOR_MEMBER") = text(COLOR_MEMBER);
  m.attr("COLOR_ENV") = text(COLOR_ENV);
  m.attr("COLOR_LOG_PREFIX") = text(COLOR_LOG_PREFIX);
  m.attr("RGB_THREADS_ENV") = text(RGB_THREADS_ENV);
  m.attr("COMBINED_MEMBER") = text(COMBINED_MEMBER);
  m.attr("Q8GD_MEMBER") = text(Q8GD_MEMBER);
  m.attr("Q8GD_HEADER_KEY") = text(Q8GD_HEADER_KEY);
  m.attr("Q8GD_ENV") = text(Q8GD_ENV);
  nb::list flags;
  for (auto s : INT8_DOT_FLAGS) flags.append(text(s));
  m.attr("INT8_DOT_FLAGS") = nb::tuple(flags);
  m.attr("Q8GD_LOG") = text(Q8GD_LOG);
}

}  // namespace halvane::zephan2::py
