#include "common/text.h"

#include <cstring>

#include "common/errors.h"

namespace halvane {

OSError::OSError(int e, std::string file)
    : std::runtime_error(std::strerror(e)), err(e), filename(std::move(file)) {}


bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  auto cont = [&](size_t k) { return k < n && (p[k] & 0xC0) == 0x80; };
  while (i < n) {
    const unsigned c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    const size_t len = c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    if (len == 0 || i + 1 >= n) return false;
    // Overlong forms, surrogates and code points past U+10FFFF are ruled out
    // by the range of the second byte.
    const unsigned lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    const unsigned hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k)
      if (!cont(i + k)) return false;
    i += len;
  }
  return true;
}

namespace {
constexpr char kDigits[] = "0123456789abcdef";
}  // namespace

std::string hex_lower(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

void append_control_escape(std::string& out, unsigned char c) {
  if (c == '\n') out += "\\n";
  else if (c == '\r') out += "\\r";
  else out += {'\\', 'x', kDigits[c >> 4], kDigits[c & 15]};
}

static bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' ||
         c == '\x1c' || c == '\x1d' || c == '\x1e' || c == '\x1f';
}

std::string_view strip_ascii(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

IntParse parse_py_int(std::string_view text, int64_t& out) {
  std::string_view s = strip_ascii(text);
  bool neg = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.front() == '_' || s.back() == '_') return IntParse::invalid;
  // Accumulate as a negative number so INT64_MIN is reachable.
  int64_t acc = 0;
  bool overflow = false, prev_us = false;
  for (char c : s) {
    if (c == '_') {
      if (prev_us) return IntParse::invalid;
      prev_us = true;
      continue;
    }
    prev_us = false;
    if (c < '0' || c > '9') return IntParse::invalid;
    int d = c - '0';
    if (!overflow) {
      if (acc < (INT64_MIN + d) / 10) overflow = true;
      else acc = acc * 10 - d;
    }
  }
  if (overflow) return IntParse::out_of_range;
  if (!neg) {
    if (acc == INT64_MIN) return IntParse::out_of_range;
    acc = -acc;
  }
  out = acc;
  return IntParse::ok;
}

std::string py_repr(std::string_view s) {
  bool has_sq = s.find('\'') != std::string_view::npos;
  bool has_dq = s.find('"') != std::string_view::npos;
  char q = (has_sq && !has_dq) ? '"' : '\'';
  std::string r(1, q);
  for (unsigned char c : s) {
    if (c == '\\' || c == static_cast<unsigned char>(q)) {
      r += '\\';
      r += static_cast<char>(c);
    } else if (c == '\t') {
      r += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      append_control_escape(r, c);
    } else {
      r += static_cast<char>(c);
    }
  }
  r += q;
  return r;
}

std::string py_list_repr(const std::vector<std::string>& items) {
  std::string r = "[";
  for (size_t i = 0; i < items.size(); ++i) r += (i ? ", " : "") + py_repr(items[i]);
  return r + "]";
}

std::string_view utf8_prefix(std::string_view s, size_t n) {
  size_t i = 0;
  for (size_t chars = 0; i < s.size() && chars < n; ++chars) {
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;  // continuation bytes
  }
  return s.substr(0, i);
}

}  // namespace halvane
