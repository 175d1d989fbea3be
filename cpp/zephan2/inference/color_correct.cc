#include "zephan2/inference/color_correct.h"

#include <openssl/evp.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

#include "common/errors.h"
#include "common/pyint.h"
#include "common/tensor.h"
#include "zephan2/inference/constants.h"

namespace z2 {

using json = nlohmann::json;

namespace {

// The bundle member may come from anywhere; nesting beyond this is refused
// before the reader sees it, so no input can exhaust the stack.
constexpr int kMaxDepth = 512;

uint8_t gain_bias_byte(int value, float gain, float bias) {
  const float p = static_cast<float>(value) * gain;  // rounded to float32 on its own
  const float s = p + bias;
  if (!(s > 0.0f)) return 0;  // also NaN
  if (s >= 255.0f) return 255;
  return static_cast<uint8_t>(static_cast<int>(s));
}

// Shortest text that reads back as the same float32, with a digit after the
// point in positional form (1 -> "1.0"). Positional from 1e-4 up to 1e6,
// scientific outside ("1e+06"), as NumPy writes float32 values.
std::string float_text(float v) {
  char buf[64];
  const double a = std::fabs(static_cast<double>(v));
  const bool positional = a == 0.0 || (a >= 1e-4 && a < 1e6);
  auto r = positional ? std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed)
                      : std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string s(buf, r.ptr);
  if (positional && s.find('.') == std::string::npos) s += ".0";
  return s;
}

std::string list_text(const std::array<float, 3>& v) {
  std::string s = "[";
  for (size_t i = 0; i < 3; ++i) {
    if (i) s += ", ";
    s += float_text(v[i]);
  }
  s += ']';
  return s;
}

// sum / 256 to one decimal, the nearest tenth, ties to the even digit.
std::string mean_tenths(int64_t sum) {
  const int64_t num = sum * 10;
  int64_t q = num / 256;
  const int64_t r = num % 256;
  if (2 * r > 256 || (2 * r == 256 && (q & 1))) ++q;
  return std::to_string(q / 10) + "." + std::to_string(q % 10);
}

std::string src_text(std::string_view source) { return source.empty() ? std::string(COLOR_MEMBER) : std::string(source); }

// Python's name for the type of a JSON value. A binary value stands for a
// foreign value that an already decoded input carried: its bytes hold that
// value's type name.
std::string type_name(const json& v) {
  switch (v.type()) {
    case json::value_t::array: return "list";
    case json::value_t::string: return "str";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return "int";
    case json::value_t::number_float: return "float";
    case json::value_t::boolean: return "bool";
    case json::value_t::null: return "NoneType";
    case json::value_t::object: return "dict";
    case json::value_t::binary: {
      const auto& b = v.get_binary();
      return std::string(b.begin(), b.end());
    }
    default: return "object";
  }
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
std::optional<std::string> utf8_error(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const unsigned c = p[i];
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      char b[96];
      std::snprintf(b, sizeof b, "invalid UTF-8: byte 0x%02x at position %zu cannot start a character", c, i);
      return b;
    }
    for (size_t k = 1; k < len; ++k) {
      const unsigned d = i + k < n ? p[i + k] : 0x100;
      const unsigned l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
      if (d < l || d > h) {
        char b[96];
        if (d == 0x100)
          std::snprintf(b, sizeof b, "invalid UTF-8: the text ends inside the character at position %zu", i);
        else
          std::snprintf(b, sizeof b, "invalid UTF-8: byte 0x%02x at position %zu does not continue a character", d,
                        i + k);
        return b;
      }
    }
    i += len;
  }
  return std::nullopt;
}

bool nested_too_deep(std::string_view s) {
  int depth = 0;
  bool in_str = false, esc = false;
  for (char c : s) {
    if (in_str) {
      if (esc) esc = false;
      else if (c == '\\') esc = true;
      else if (c == '"') in_str = false;
    } else if (c == '"') {
      in_str = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

std::string number_text(const json& v) {
  if (v.is_number_float()) {
    const double d = v.get<double>();
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
  }
  return v.dump();
}

// The dimensions of a nested array and its leaves in row-major order, level by
// level (no recursion). Fails when the nesting is not rectangular or a leaf is
// neither a number nor true/false.
struct Leaves {
  std::vector<int64_t> shape;
  std::vector<const json*> values;
  std::string error;
};

Leaves collect(const json& root) {
  Leaves r;
  std::vector<const json*> level{&root}, next;
  while (!level.empty() && level.front()->is_array()) {
    const size_t len = level.front()->size();
    next.clear();
    for (const json* v : level) {
      if (!v->is_array() || v->size() != len) {
        r.error = "the nesting is not rectangular: rows of different lengths or depths at depth " +
                  std::to_string(r.shape.size() + 1);
        return r;
      }
      for (const json& e : *v) next.push_back(&e);
    }
    r.shape.push_back(static_cast<int64_t>(len));
    if (r.shape.size() > static_cast<size_t>(kMaxDepth)) {
      r.error = "nesting deeper than " + std::to_string(kMaxDepth) + " levels";
      return r;
    }
    level.swap(next);
  }
  for (size_t i = 0; i < level.size(); ++i) {
    const json& v = *level[i];
    if (v.is_array()) {
      r.error = "the nesting is not rectangular: rows of different lengths or depths at depth " +
                std::to_string(r.shape.size() + 1);
      return r;
    }
    if (!v.is_number() && !v.is_boolean()) {
      r.error = "element " + std::to_string(i) + " is " + (v.is_null() ? std::string("null") : "a " + type_name(v)) +
                ", not a number";
      return r;
    }
  }
  r.values = std::move(level);
  return r;
}

// Nearest float32 of a double, saturating to infinity past the float32 range
// the way IEEE rounding does.
float to_f32(double d) {
  constexpr double kOverflow = 0x1.ffffffp127;  // halfway between FLT_MAX and 2^128
  constexpr float kInf = std::numeric_limits<float>::infinity();
  if (std::isfinite(d) && std::fabs(d) >= kOverflow) return d > 0 ? kInf : -kInf;
  return static_cast<float>(d);
}

double leaf_double(const json& v) {
  if (v.is_boolean()) return v.get<bool>() ? 1.0 : 0.0;
  if (v.is_number_integer() && !v.is_number_unsigned()) return static_cast<double>(v.get<int64_t>());
  if (v.is_number_unsigned()) return static_cast<double>(v.get<uint64_t>());
  return v.get<double>();
}

struct F32Array {
  std::vector<int64_t> shape;
  std::vector<float> values;
  std::string error;
};

F32Array to_f32_array(const json& v) {
  Leaves l = collect(v);
  F32Array r;
  if (!l.error.empty()) {
    r.error = std::move(l.error);
    return r;
  }
  r.shape = std::move(l.shape);
  for (const json* e : l.values) r.values.push_back(to_f32(leaf_double(*e)));
  return r;
}

ColorParse gain_bias(const json& obj, std::string_view source) {
  auto fail7 = [](const std::string& why) {
    return ColorParse{std::nullopt, "color.json: 'gain'/'bias' are not float arrays (" + why + ")"};
  };
  F32Array g = to_f32_array(obj.at("gain"));
  if (!g.error.empty()) return fail7("gain: " + g.error);
  F32Array b = to_f32_array(obj.at("bias"));
  if (!b.error.empty()) return fail7("bias: " + b.error);
  const std::vector<int64_t> three{3};
  if (g.shape != three || b.shape != three)
    return {std::nullopt, "color.json: gain" + halvane::Tensor::shape_text(g.shape) + "/bias" +
                              halvane::Tensor::shape_text(b.shape) + ", the contract is (3,)/(3,)"};
  std::array<float, 3> ga{g.values[0], g.values[1], g.values[2]}, ba{b.values[0], b.values[1], b.values[2]};
  return {ColorCorrect("gain_bias", std::nullopt, ga, ba, std::string(source)),
          "per-channel gain/bias from " + src_text(source)};
}

ColorParse lut(const json& value, std::string_view source) {
  auto fail4 = [](const std::string& why) {
    return ColorParse{std::nullopt, "color.json: 'lut' is not a uint8 array (" + why + ")"};
  };
  Leaves l = collect(value);
  if (!l.error.empty()) return fail4(l.error);
  std::vector<uint8_t> bytes(l.values.size());
  for (size_t i = 0; i < l.values.size(); ++i) {
    const json& e = *l.values[i];
    bool ok;
    int64_t iv = 0;
    if (e.is_boolean()) {
      ok = true;
      iv = e.get<bool>();
    } else if (e.is_number_unsigned()) {
      const uint64_t u = e.get<uint64_t>();
      ok = u <= 255;
      iv = static_cast<int64_t>(u);
    } else if (e.is_number_integer()) {
      iv = e.get<int64_t>();
      ok = iv >= 0 && iv <= 255;
    } else {
      const double t = std::trunc(e.get<double>());
      ok = t >= 0.0 && t <= 255.0;  // false for NaN
      if (ok) iv = static_cast<int64_t>(t);
    }
    if (!ok) return fail4("element " + std::to_string(i) + " is " + number_text(e) + ", outside 0..255");
    bytes[i] = static_cast<uint8_t>(iv);
  }
  if (l.shape != std::vector<int64_t>{3, 256})
    return {std::nullopt, "color.json: 'lut' has shape " + halvane::Tensor::shape_text(l.shape) +
                              ", the contract is (3, 256) — refusing to apply a mis-shaped table"};
  std::array<uint8_t, 768> table;
  std::memcpy(table.data(), bytes.data(), 768);
  return {ColorCorrect("lut", table, std::nullopt, std::nullopt, std::string(source)),
          "per-channel LUT (model->driver) from " + src_text(source)};
}

ColorParse m2(const std::string& reason) {
  return {std::nullopt, "color.json is present but is not parsable json (" + reason +
                            ") — refusing to invent an identity LUT"};
}

}  // namespace

ColorCorrect::ColorCorrect(std::string kind, std::optional<std::array<uint8_t, 768>> lut,
                           std::optional<std::array<float, 3>> gain, std::optional<std::array<float, 3>> bias,
                           std::string source)
    : kind_(std::move(kind)), lut_(lut), gain_(gain), bias_(bias), source_(std::move(source)) {
  // Worked out here, once, so that the record stays immutable and table()
  // needs no lock.
  if (is_lut()) {
    table_ = lut_;
  } else if (gain_ && bias_) {
    std::array<uint8_t, 768> t;
    for (int c = 0; c < 3; ++c)
      for (int v = 0; v < 256; ++v) t[c * 256 + v] = gain_bias_byte(v, (*gain_)[c], (*bias_)[c]);
    table_ = t;
  }
}

const std::array<uint8_t, 768>& ColorCorrect::table() const {
  if (!table_)
    throw halvane::ValueError(is_lut() ? "colour correction of kind 'lut' has no table"
                                       : "colour correction of kind " + halvane::py_repr(kind_) +
                                             " needs both gain and bias");
  return *table_;
}

void ColorCorrect::apply(const uint8_t* rgb, uint8_t* out, size_t pixels) const {
  const uint8_t* t = table().data();
  for (size_t i = 0; i < pixels; ++i) {
    out[3 * i] = t[rgb[3 * i]];
    out[3 * i + 1] = t[256 + rgb[3 * i + 1]];
    out[3 * i + 2] = t[512 + rgb[3 * i + 2]];
  }
}

std::string ColorCorrect::describe() const {
  if (is_lut()) {
    const auto& t = table();
    std::string s = "per-channel LUT (model->driver), deviation from identity: ";
    for (int c = 0; c < 3; ++c) {
      int32_t mx = 0;
      int64_t sum = 0;
      for (int32_t v = 0; v < 256; ++v) {
        const int32_t d = std::abs(static_cast<int32_t>(t[c * 256 + v]) - v);
        mx = std::max(mx, d);
        sum += d;
      }
      if (c) s += "/";
      s += "RGB"[c];
      s += " max " + std::to_string(mx) + " mean " + mean_tenths(sum);
    }
    return s;
  }
  table();  // same refusal when gain or bias is missing
  return "per-channel gain=" + list_text(*gain_) + " bias=" + list_text(*bias_);
}

std::string ColorCorrect::table_bytes() const {
  if (is_lut()) {
    const auto& t = table();
    return std::string(reinterpret_cast<const char*>(t.data()), t.size());
  }
  table();
  std::string s;
  for (const auto* arr : {&*gain_, &*bias_})
    for (float f : *arr) {
      uint32_t u = std::bit_cast<uint32_t>(f);
      for (int k = 0; k < 4; ++k) s += static_cast<char>((u >> (8 * k)) & 0xFF);  // little-endian
    }
  return s;
}

ColorDescriptor color_descriptor(const ColorCorrect& cc) {
  const std::string bytes = cc.table_bytes();
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr) != 1 || len != 32)
    throw halvane::RuntimeError("SHA-256 of the colour table failed");
  static const char* hex = "0123456789abcdef";
  std::string h;
  for (unsigned i = 0; i < len; ++i) {
    h += hex[md[i] >> 4];
    h += hex[md[i] & 15];
  }
  return {cc.kind(), h};
}

ColorParse parse_color_correct(std::optional<std::string_view> raw, std::string_view source) {
  if (!raw) return {std::nullopt, "this container carries no " + std::string(COLOR_MEMBER)};
  const std::string_view text = *raw;
  // The reader would skip a byte-order mark; the member must not carry one.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return m2("unexpected UTF-8 byte-order mark");
  if (auto err = utf8_error(text)) return m2(*err);
  if (nested_too_deep(text)) return m2("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
  json value;
  try {
    value = json::parse(text.begin(), text.end());
  } catch (const json::exception& e) {
    std::string why = e.what();
    if (auto p = why.find("] "); why.starts_with("[json.exception.") && p != std::string::npos) why.erase(0, p + 2);
    return m2(why);
  }
  // The reader turns integers beyond 64 bits into floats; the type report
  // follows the text.
  if (value.is_number_float() && halvane::strip_ascii(text).find_first_of(".eE") == std::string_view::npos) value = 0;
  return parse_color_correct(value, source);
}

ColorParse parse_color_correct(const json& value, std::string_view source) {
  if (!value.is_object())
    return {std::nullopt, "color.json is present but is not a json object (got " + type_name(value) + ")"};
  if (auto it = value.find("lut"); it != value.end()) return lut(*it, source);
  if (value.contains("gain") && value.contains("bias")) return gain_bias(value, source);
  std::vector<std::string> keys;
  for (auto it = value.begin(); it != value.end(); ++it) keys.push_back(it.key());
  std::sort(keys.begin(), keys.end());  // bytewise: UTF-8 sorts by code point
  std::string k = "[";
  for (size_t i = 0; i < keys.size(); ++i) k += (i ? ", " : "") + halvane::py_repr(keys[i]);
  return {std::nullopt, "color.json is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: " + k + "])"};
}

bool color_enabled() {
  const char* v = std::getenv(std::string(COLOR_ENV).c_str());
  std::string s(halvane::strip_ascii(v ? v : ""));
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return !(s == "0" || s == "false" || s == "no" || s == "off");
}

}  // namespace z2
