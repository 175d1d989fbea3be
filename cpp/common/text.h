// Text helpers shared by every core: integers parsed and texts quoted the way
// Python does it (so messages read as Python would write them), strict UTF-8,
// and lower-case hex.
//
// Thread contract: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace halvane {

// Strict UTF-8 as Python decodes it: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
bool valid_utf8(std::string_view s);

// Two lower-case hexadecimal digits per byte.
std::string hex_lower(std::string_view bytes);

// Appends a control character the way Python's repr writes it: "\n", "\r"
// or "\xNN" (a tab is the caller's choice).
void append_control_escape(std::string& out, unsigned char c);

// Integer parsing with the grammar of Python's int(text) in base 10:
// surrounding white space, an optional sign, ASCII digits with single
// underscores between them. Values outside the signed 64-bit range are
// reported separately so callers can refuse them instead of wrapping.
enum class IntParse { ok, invalid, out_of_range };

IntParse parse_py_int(std::string_view text, int64_t& out);

// Python's str.strip() for ASCII white space (the only kind our inputs carry).
std::string_view strip_ascii(std::string_view s);

// repr() of a text the way Python writes it for printable ASCII: single quotes
// unless the text holds a single quote and no double quote; backslashes,
// the chosen quote and control characters escaped. Bytes >= 0x80 pass through
// (UTF-8 stays readable, as Python shows printable non-ASCII characters).
std::string py_repr(std::string_view s);

// Python's repr of a list of texts: "['a', 'b']", "[]" when empty.
std::string py_list_repr(const std::vector<std::string>& items);

// The first n characters (code points) of UTF-8 text, as Python's s[:n].
std::string_view utf8_prefix(std::string_view s, size_t n);


}  // namespace halvane
