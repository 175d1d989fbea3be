// The live input's sample conversion: scaling, the length of a rate change
// with its rounding of halves, linear interpolation on the two grids and the
// producer's round trip through int16.
#include "avatar/pcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

using halvane::avatar::i16_to_f32;
using halvane::avatar::resample_linear;
using halvane::avatar::resampled_length;
using halvane::avatar::to_engine_rate;

constexpr float kMax = 32767.0f;

template <class T>
std::vector<T> resample(const std::vector<T>& in, size_t m) {
  std::vector<T> out(m);
  resample_linear(in.data(), in.size(), out.data(), m);
  return out;
}

TEST(I16ToF32, ScalesWithoutClipping) {
  const std::vector<int16_t> in = {0, 16384, -32768, 32767, -1};
  std::vector<float> out(in.size());
  i16_to_f32(in.data(), in.size(), out.data(), kMax);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_NEAR(out[1], 0.500015, 1e-6);
  EXPECT_LT(out[2], -1.0f);
  EXPECT_NEAR(out[2], -1.0000305, 1e-7);
  EXPECT_EQ(out[3], 1.0f);
  EXPECT_EQ(out[4], -1.0f / kMax);
}

TEST(ResampledLength, RoundsHalvesToEven) {
  struct Case {
    int64_t n, src, dst, want;
  } cases[] = {
      {5, 32000, 16000, 2},   // 2.5
      {3, 32000, 16000, 2},   // 1.5
      {7, 32000, 16000, 4},   // 3.5
      {9, 32000, 16000, 4},   // 4.5
      {3, 48000, 16000, 1},   //
      {1, 8000, 16000, 2},    //
      {441, 44100, 16000, 160},
      {1, 48000, 16000, 0},   // one third
      {2, 48000, 16000, 1},   // two thirds
      {1, 32000, 16000, 0},   // 0.5 rounds to 0
      {10, -16000, 16000, 0}, // negative: nothing
      {0, 8000, 16000, 0},
      {int64_t(1) << 40, 3, 1, 366503875925},  // 366503875925.33...
  };
  for (const Case& c : cases)
    EXPECT_EQ(resampled_length(c.n, c.src, c.dst), c.want) << c.n << " " << c.src << " " << c.dst;
  EXPECT_THROW(resampled_length(4, 0, 16000), std::domain_error);
}

TEST(ResampleLinear, GridEnds) {
  // Upsampling repeats the last sample past the last source point.
  EXPECT_EQ(resample(std::vector<float>{0.0f, 1.0f}, 4), (std::vector<float>{0.0f, 0.5f, 1.0f, 1.0f}));
  // One sample fills every output.
  EXPECT_EQ(resample(std::vector<float>{0.25f}, 2), (std::vector<float>{0.25f, 0.25f}));
  // Downsampling to one sample keeps the first.
  EXPECT_EQ(resample(std::vector<float>{0.5f, -1.0f, 1.0f}, 1), (std::vector<float>{0.5f}));
  // 4 -> 2: points 0 and 0.5 fall on source points 0 and 2.
  EXPECT_EQ(resample(std::vector<double>{1, 2, 3, 4}, 2), (std::vector<double>{1, 3}));
  // 2 -> 3: 1/3 lies between 0 and 0.5, 2/3 past the last point.
  const auto three = resample(std::vector<double>{0.0, 3.0}, 3);
  EXPECT_DOUBLE_EQ(three[1], 2.0);
  EXPECT_EQ(three[2], 3.0);
}

TEST(ResampleLinear, FollowsTheLineBetweenNeighbours) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (auto [n, m] : {std::pair<size_t, size_t>{441, 160}, {160, 441}, {1000, 999}, {17, 1000}}) {
    std::vector<double> in(n);
    for (double& v : in) v = u(rng);
    const auto out = resample(in, m);
    for (size_t i = 0; i < m; ++i) {
      const double x = double(i) / double(m) * double(n);  // in source samples
      const size_t j = std::min(static_cast<size_t>(x), n - 1);
      const double want = j + 1 < n ? in[j] + (in[j + 1] - in[j]) * (x - double(j)) : in[n - 1];
      ASSERT_NEAR(out[i], want, 1e-9) << n << "->" << m << " at " << i;
    }
  }
}

TEST(ResampleLinear, NonFiniteSamples) {
  const double inf = std::numeric_limits<double>::infinity();
  // Between equal infinities the value is that infinity, not NaN.
  auto out = resample(std::vector<double>{inf, inf, 0.0}, 6);
  EXPECT_EQ(out[1], inf);
  // Between opposite infinities there is no line.
  out = resample(std::vector<double>{-inf, inf}, 4);
  EXPECT_EQ(out[0], -inf);
  EXPECT_TRUE(std::isnan(out[1]));
  EXPECT_EQ(out[2], inf);
}

TEST(ToEngineRate, RoundTripsThroughInt16) {
  // At the engine's rate: a plain conversion.
  const std::vector<int16_t> same = {1, -1, 32767};
  auto out = to_engine_rate(same.data(), same.size(), 16000, 16000, kMax);
  EXPECT_EQ(out, (std::vector<float>{1 / kMax, -1 / kMax, 1.0f}));
  // 32 kHz -> 16 kHz picks samples 0 and 2. 300 / 32767 * 32767 in float32
  // is 299.99997, which truncates to 299; -300 to -299.
  const std::vector<int16_t> in = {300, 7, -300, 9};
  out = to_engine_rate(in.data(), in.size(), 32000, 16000, kMax);
  ASSERT_EQ(out.size(), 2u);
  const float f = 300 / kMax * kMax;
  const float t = std::trunc(f);
  EXPECT_EQ(out[0], t / kMax);
  EXPECT_EQ(out[1], -t / kMax);
  EXPECT_TRUE(to_engine_rate(in.data(), 0, 0, 16000, kMax).empty());
  EXPECT_THROW(to_engine_rate(in.data(), in.size(), 0, 16000, kMax), std::domain_error);
}

}  // namespace
