// Colour correction under ASan + UBSan: every refusal of a hostile member is a
// report, never a crash; gain/bias arithmetic is defined for every value. The
// report texts themselves are held byte for byte by tests/test_color_correct.py.
#include "zephan2/inference/color_correct.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using z2::ColorCorrect;
using z2::parse_color_correct;

const std::string kM2Tail = ") — refusing to invent an identity LUT";

std::string lut_json() {
  std::string s = "[";
  for (int c = 0; c < 3; ++c) {
    s += c ? ",[" : "[";
    for (int v = 0; v < 256; ++v) s += (v ? "," : "") + std::to_string(v);
    s += "]";
  }
  return s + "]";
}

z2::ColorParse parse(const std::string& text, std::string_view source = {}) {
  // Spelled as an optional: a bare string_view would also convert to json.
  return parse_color_correct(std::optional<std::string_view>(text), source);
}

TEST(ColorParse, HostileTextIsReportedNotFatal) {
  // Well-formed but far too deep: refused before the reader sees it.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  std::string deep_obj = "{\"lut\": ";
  for (int i = 0; i < 50000; ++i) deep_obj += "{\"a\":";
  deep_obj += "1" + std::string(50001, '}');
  for (const std::string& t :
       {std::string(), std::string("   "), std::string("\xEF\xBB\xBF{}"), std::string("{\"a\": \"\xC0\x80\"}"),
        std::string("{\"\xED\xA0\x80\": 1}"), std::string("{\"a\": \"\xF4\x90\x80\x80\"}"), std::string("\xFF"),
        std::string("{\"a\": \"\xE2\x82"), std::string("{\"lut\": 1e400}"), std::string("{\"a\": 1,}"),
        std::string("{} []"), deep, deep_obj}) {
    auto r = parse(t);
    EXPECT_FALSE(r.cc);
    EXPECT_TRUE(r.message.starts_with("color.json is present but is not parsable json (")) << r.message;
    EXPECT_TRUE(r.message.ends_with(kM2Tail)) << r.message;
  }
  // Brackets inside strings, escaped quotes included, do not count as nesting.
  EXPECT_TRUE(parse("{\"k\": \"\\\"" + std::string(2000, '[') + "\", \"lut\": " + lut_json() + "}").cc);
}

TEST(ColorParse, DecodedValueWithForeignElements) {
  json set_name = json::binary(std::vector<uint8_t>{'s', 'e', 't'});
  EXPECT_EQ(parse_color_correct(set_name).message, "color.json is present but is not a json object (got set)");
  json obj = {{"lut", json::array({set_name})}};
  EXPECT_TRUE(parse_color_correct(obj).message.starts_with("color.json: 'lut' is not a uint8 array (element 0 is a set"));
}

TEST(ColorApply, GainBiasIsDefinedForEveryValue) {
  // Beyond the float32 range a gain or bias reads as infinity, as IEEE
  // rounding gives; every byte it produces must still be 0..255.
  auto r = parse("{\"gain\": [1e39, -1e39, 3.4028235e38], \"bias\": [1e-50, -3e38, 1e300]}");
  ASSERT_TRUE(r.cc) << r.message;
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(*r.cc->gain(), (std::array<float, 3>{inf, -inf, std::numeric_limits<float>::max()}));
  EXPECT_EQ((*r.cc->bias())[2], inf);
  const auto& t = r.cc->table();
  EXPECT_EQ(t[0], 0);  // 0 * inf is NaN
  EXPECT_EQ(t[1], 255);
  EXPECT_EQ(t[256 + 1], 0);
  EXPECT_EQ(t[512 + 200], 255);

  ColorCorrect nan("gain_bias", std::nullopt, std::array<float, 3>{std::nanf(""), 1, 1},
                   std::array<float, 3>{0, 0, std::nanf("")});
  std::vector<uint8_t> px(3 * 256);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i / 3);
  nan.apply(px.data(), px.data(), 256);  // in place
  for (size_t i = 0; i < px.size(); ++i) ASSERT_EQ(px[i], i % 3 == 1 ? i / 3 : 0) << i;
  EXPECT_EQ(nan.describe(), "per-channel gain=[nan, 1.0, 1.0] bias=[0.0, 0.0, nan]");
}

}  // namespace
