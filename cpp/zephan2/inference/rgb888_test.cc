// RGB888 conversion under ASan + UBSan: every fast-path kernel against the
// reference on hostile values, and chunks spread over the pool. Each test runs
// in its own process (gtest_discover_tests), so the pool is fresh in every
// test. tests/test_rgb888.py holds the Python surface and the thread names.
#include "zephan2/inference/rgb888.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/errors.h"
#include "zephan2/inference/constants.h"
#include "zephan2/inference/rgb888_kernels.h"

namespace {

using halvane::Tensor;
using z2::ColorCorrect;
using z2::FH;
using z2::FRAME_BYTES;
using z2::FW;

constexpr int64_t kPlane = FH * FW;

Tensor frame(uint32_t seed) {
  Tensor t = halvane::make_f32({3, FH, FW});
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-0.2f, 1.2f);
  float* f = t.f32();
  for (int64_t i = 0; i < 3 * kPlane; ++i) f[i] = u(rng);
  const float special[] = {1.0f, 0.5f, 0.999f, -0.0f, -1e30f, 1e30f, std::nanf(""),
                           std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                           1.0f / 255.0f, 0.0039215684f, std::numeric_limits<float>::denorm_min()};
  for (size_t k = 0; k < std::size(special); ++k) f[k * 7919 % (3 * kPlane)] = special[k];
  return t;
}

Tensor read_only_copy(const Tensor& t) {
  Tensor c = halvane::make_f32(t.shape);
  std::copy(t.f32(), t.f32() + t.size(), c.f32());
  c.writeable = false;
  return c;
}

std::vector<uint8_t> reference(const Tensor& t, const ColorCorrect* cc) {
  std::vector<uint8_t> out(FRAME_BYTES);
  z2::px_to_rgb888(t, cc, out.data());
  return out;
}

std::vector<ColorCorrect> corrections() {
  std::array<uint8_t, 768> lut;
  for (int i = 0; i < 768; ++i) lut[i] = static_cast<uint8_t>((i * 37 + i / 256) & 255);
  return {ColorCorrect("lut", lut, std::nullopt, std::nullopt),
          ColorCorrect("gain_bias", std::nullopt, std::array<float, 3>{1.05f, 0.7f, -2.0f},
                       std::array<float, 3>{2.0f, 0.7f, 300.0f})};
}

TEST(Rgb888, EveryKernelMatchesReferenceAndScalesInPlace) {
  auto ccs = corrections();
  const ColorCorrect* cases[] = {nullptr, &ccs[0], &ccs[1]};
  int ran = 0;
  for (const auto& k : z2::rgb_kernels::variants()) {
    if (!k.supported) continue;
    ++ran;
    for (const ColorCorrect* cc : cases) {
      Tensor f = frame(1);
      const Tensor before = read_only_copy(f);
      std::vector<uint8_t> out(FRAME_BYTES);
      k.fn(f.f32(), out.data(), cc ? cc->table().data() : nullptr);
      ASSERT_EQ(out, reference(before, cc)) << k.name;
      for (int64_t i = 0; i < 3 * kPlane; ++i) {
        const float s = before.f32()[i] * 255.0f;
        const float want = s > 255.0f ? 255.0f : s >= 0.0f ? s : 0.0f;  // NaN -> 0
        ASSERT_EQ(f.f32()[i], want) << k.name << " " << i;
      }
    }
  }
  EXPECT_GE(ran, 1);
  EXPECT_TRUE(z2::rgb_kernels::variants().back().supported);
}

TEST(Rgb888Pool, ChunksOfEveryShapeAgreeWithTheReference) {
  // Uneven ranges (n = 7, 3 threads: [0, 3) [3, 6) [6, 7)), a mixed frame and
  // a pool that stays at its first size when later chunks ask for more.
  const auto ccs = corrections();
  for (int64_t threads : {3, 8, 1}) {
    std::vector<Tensor> px, ref;
    for (uint32_t i = 0; i < 7; ++i) px.push_back(frame(i));
    px[4] = read_only_copy(px[4]);
    for (const auto& t : px) ref.push_back(read_only_copy(t));
    auto out = z2::px_to_rgb888_chunk(px, &ccs[0], threads);
    for (size_t i = 0; i < px.size(); ++i)
      ASSERT_EQ(std::memcmp(out.get() + i * FRAME_BYTES, reference(ref[i], &ccs[0]).data(), FRAME_BYTES), 0) << i;
    EXPECT_EQ(z2::rgb_pool_size(), 3);
  }
}

TEST(Rgb888Pool, FirstFailureInRangeOrderAfterAllRangesRan) {
  // Ranges [0, 4) [4, 8): frame 1 fails at once; the second range converts
  // three frames before frame 7 fails, and the call must wait for that.
  std::vector<Tensor> px = {frame(1), halvane::make_f32({3, 10, 10})};
  for (uint32_t i = 0; i < 5; ++i) px.push_back(frame(2 + i));
  px.push_back(halvane::make_f32({3, 20, 20}));
  const Tensor untouched = read_only_copy(px[2]);
  try {
    z2::px_to_rgb888_chunk(px, nullptr, 2);
    FAIL() << "no exception";
  } catch (const halvane::ValueError& e) {
    EXPECT_EQ(std::string(e.what()), "cannot reshape array of size 300 into shape (720, 416, 3)");
  }
  for (int i : {4, 5, 6}) EXPECT_EQ(*std::max_element(px[i].f32(), px[i].f32() + 3 * kPlane), 255.0f) << i;
  EXPECT_EQ(std::memcmp(px[2].f32(), untouched.f32(), untouched.nbytes()), 0);
}

}  // namespace
