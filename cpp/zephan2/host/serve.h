// The serving loop of the host: the READY line, then one protocol message
// after another, rendered frames written as each chunk completes, until the
// input ends (status 0) or a step word is out of range (status 1).
//
// Thread contract: the serving thread; the renderer is not shared.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "zephan2/host/protocol.h"
#include "zephan2/inference/renderer.h"

namespace z2 {

// "READY {...}\n" for the renderer's colour correction.
std::string ready_line(const ColorCorrect* cc);

// Writes each frame record, then flushes when there was any.
void emit(FdWriter& out, const std::vector<RenderedFrame>& frames);

int serve(Renderer& renderer, std::string_view nm, ByteSource& in, FdWriter& out);

}  // namespace z2
