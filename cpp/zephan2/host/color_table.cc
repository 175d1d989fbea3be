#include "zephan2/host/color_table.h"

#include "common/errors.h"

namespace z2 {

namespace {

ColorParseFn installed = nullptr;

}  // namespace

void install_color_parse(ColorParseFn parse) { installed = parse; }

ColorParse parse_color_correct(std::optional<std::string_view> raw, std::string_view source) {
  if (!installed) throw halvane::RuntimeError("the colour table reader is not installed");
  return installed(raw, source);
}

}  // namespace z2
