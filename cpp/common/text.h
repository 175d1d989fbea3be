// Text helpers shared by every core: strict UTF-8 and lower-case hex.
//
// Thread contract: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace halvane {

// Strict UTF-8 as Python decodes it: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
bool valid_utf8(std::string_view s);

// Two lower-case hexadecimal digits per byte.
std::string hex_lower(std::string_view bytes);

}  // namespace halvane
