// The int8-decoder variant of a combined bundle ("combined_litert_q8gd.tflite")
// and whether to serve it instead of the combined member.
//
// The selection is made by the host's Python edge (halvane/_zephan2/_q8gd.py):
// its manifest rules are Python's truthiness, equality and text forms, and its
// FALLBACK reports quote Python's own error kinds and messages. The binding
// layer installs it when the host module loads; bundle loading asks here.
//
// Thread contract: install once, before the first selection; select_q8gd runs
// on the main thread during warm-up.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace z2 {

struct Q8gdChoice {
  std::optional<std::string> path;  // the variant file to serve
  std::string report;               // empty when the selection does not apply
};

// The selection for a bundle path. It answers every ordinary failure with a
// FALLBACK report; whatever it raises (an interruption) propagates.
using Q8gdSelectFn = Q8gdChoice (*)(const std::string& bundle);

void install_q8gd_select(Q8gdSelectFn select);

// Raises halvane::RuntimeError when no selection is installed.
Q8gdChoice select_q8gd(const std::string& bundle);

// The installed "ai-edge-litert" version text, or nullopt when unreadable.
// (Bundle loading no longer asks for it: the selection reads it itself.)
using RuntimeVersionFn = std::function<std::optional<std::string>()>;

}  // namespace z2
