// The int8-decoder variant of a combined bundle ("combined_litert_q8gd.tflite")
// and whether to serve it instead of the combined member.
//
// The selection is made by the host's Python edge (halvane/_zephan2/_q8gd.py):
// its manifest rules are Python's truthiness, equality and text forms, and its
// FALLBACK reports quote Python's own error kinds and messages. Bundle loading
// is handed the selection by its caller.
//
// Thread contract: called on the main thread during warm-up.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace halvane::zephan2 {

struct Q8gdChoice {
  std::optional<std::string> path;  // the variant file to serve
  std::string report;               // empty when the selection does not apply
};

// The selection for a bundle path. It answers every ordinary failure with a
// FALLBACK report; whatever it raises (an interruption) propagates.
using Q8gdSelectFn = std::function<Q8gdChoice(const std::string& bundle)>;

}  // namespace halvane::zephan2
