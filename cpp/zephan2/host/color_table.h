// The bundle's colour member "color.json", judged into a colour correction or
// one refusal message.
//
// The judging is done by the host's Python edge (halvane/_zephan2/_color_table.py):
// its refusal texts quote Python's own UTF-8 decoder and JSON reader and name
// JSON values by their Python types. Colour table loading is handed the reader
// by its caller.
//
// Thread contract: main thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "zephan2/inference/color_correct.h"

namespace halvane::zephan2 {

struct ColorParse {
  std::optional<ColorCorrect> cc;
  std::string message;
};

// `raw`: the member's bytes, or nullopt when the member is absent; `source`
// names it in messages. Never fails on the member's content.
using ColorParseFn = std::function<ColorParse(std::optional<std::string_view> raw, std::string_view source)>;

}  // namespace halvane::zephan2
