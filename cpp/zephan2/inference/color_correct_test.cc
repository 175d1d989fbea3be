// Colour correction under ASan + UBSan: gain/bias arithmetic is defined for
// every value, infinities and NaN included. The member's reading and its
// report texts: tests/test_color_correct.py.
#include "zephan2/inference/color_correct.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using halvane::zephan2::ColorCorrect;

TEST(ColorApply, GainBiasIsDefinedForEveryValue) {
  // A gain or bias beyond the float32 range reads as infinity; every byte it
  // produces must still be 0..255.
  const float inf = std::numeric_limits<float>::infinity();
  ColorCorrect far("gain_bias", std::nullopt, std::array<float, 3>{inf, -inf, std::numeric_limits<float>::max()},
                   std::array<float, 3>{0.0f, -3e38f, inf});
  const auto& t = far.table();
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
