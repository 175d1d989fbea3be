// The bundle's colour member "color.json", judged into a colour correction or
// one refusal message.
//
// The judging is done by the host's Python edge (halvane/_zephan2/_color_table.py):
// its refusal texts quote Python's own UTF-8 decoder and JSON reader and name
// JSON values by their Python types. The binding layer installs it when the
// host module loads; colour table loading asks here.
//
// Thread contract: install once, before the first parse; main thread only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "zephan2/inference/color_correct.h"

namespace z2 {

struct ColorParse {
  std::optional<ColorCorrect> cc;
  std::string message;
};

// `raw`: the member's bytes, or nullopt when the member is absent. Never fails
// on the member's content.
using ColorParseFn = ColorParse (*)(std::optional<std::string_view> raw, std::string_view source);

void install_color_parse(ColorParseFn parse);

// Raises halvane::RuntimeError when no reader is installed.
ColorParse parse_color_correct(std::optional<std::string_view> raw, std::string_view source = {});

}  // namespace z2
