// Registration functions of the _open extension module, one per core unit;
// module.cc calls them in order.
#pragma once

#include <nanobind/nanobind.h>

namespace halvane::open::py {

namespace nb = nanobind;

void bind_render(nb::module_& m);          // Avatar, RenderStats, _RenderClock, the render generator
void bind_intake(nb::module_& m);          // _pcm, _decode, _whole_clip, _chunks, _expected_frames
void bind_fixture(nb::module_& m);         // _FixtureEngine
void bind_session_engine(nb::module_& m);  // _SessionEngine, _QUIET
void bind_cache(nb::module_& m);           // the avatar cache: _materialise, _hold, _sweep, _content_key, ...
void bind_opener(nb::module_& m);          // open, _engine_of, _open_engine, _build_engine, _unified_engine, ...

}  // namespace halvane::open::py
