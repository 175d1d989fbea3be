// How the compute core reports: it writes nothing itself. A core operation
// that has something to say takes a Logger from its caller and hands it one
// finished line of text per call; the caller decides where lines go.
#pragma once

#include <functional>
#include <string_view>

namespace halvane::zephan2 {

using Logger = std::function<void(std::string_view line)>;

}  // namespace halvane::zephan2
