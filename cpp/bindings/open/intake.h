// The audio intake of the _open module, for the render loop's own use: the
// same operations that the module offers as _pcm, _whole_clip, _chunks and
// _expected_frames.
#pragma once

#include <nanobind/nanobind.h>

namespace halvane::open::py {

namespace nb = nanobind;

nb::object pcm(nb::handle obj);                              // _pcm(obj)
nb::object whole_clip(nb::handle audio);                     // _whole_clip(audio)
nb::object chunks(nb::handle audio, nb::handle clip);        // _chunks(audio, clip)
nb::object expected_frames(nb::handle clip, nb::handle fps);  // _expected_frames(clip, fps)

}  // namespace halvane::open::py
