#include "zephan2/inference/color_correct.h"


#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "common/errors.h"
#include "common/sha256.h"
#include "common/text.h"
#include "zephan2/messages.h"

namespace halvane::zephan2 {

namespace {

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
    throw halvane::ValueError(is_lut() ? std::string(msg::kLutHasNoTable) : msg::needs_gain_and_bias(kind_));
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
    std::string s = msg::kLutDescription;
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
  return msg::gain_bias_description(list_text(*gain_), list_text(*bias_));
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
  return {cc.kind(), halvane::sha256_hex(cc.table_bytes())};
}

bool color_enabled(std::string_view value) {
  std::string s(halvane::strip_ascii(value));
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return !(s == "0" || s == "false" || s == "no" || s == "off");
}

}  // namespace halvane::zephan2
