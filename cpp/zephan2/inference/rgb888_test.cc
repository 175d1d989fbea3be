// RGB888 conversion under ASan + UBSan: every fast-path kernel against the
// reference on hostile values, and chunks spread over a pool the test owns.
// tests/test_rgb888.py holds the Python surface, the program's process-wide
// pool and the thread names.
#include "zephan2/inference/rgb888.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "zephan2/inference/constants.h"
#include "zephan2/inference/rgb888_kernels.h"

namespace {

using halvane::Tensor;
using halvane::zephan2::ColorCorrect;
using halvane::zephan2::FH;
using halvane::zephan2::FRAME_BYTES;
using halvane::zephan2::FW;

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
  halvane::zephan2::px_to_rgb888(t, cc, out.data());
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
  for (const auto& k : halvane::zephan2::rgb_kernels::variants()) {
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
  EXPECT_TRUE(halvane::zephan2::rgb_kernels::variants().back().supported);
}

TEST(Rgb888Pool, ChunksOfEveryShapeAgreeWithTheReference) {
  // Uneven ranges (n = 7, 3 threads: [0, 3) [3, 6) [6, 7)), a mixed frame, a
  // pool smaller than a chunk asks for (surplus ranges queue), and a chunk on
  // the calling thread that never asks for the pool.
  const auto ccs = corrections();
  halvane::zephan2::RgbPool pool(3);
  ASSERT_EQ(pool.size(), 3);
  std::vector<int64_t> asked;
  const halvane::zephan2::RgbPoolSource source = [&](int64_t nt) -> halvane::zephan2::RgbPool& {
    asked.push_back(nt);
    return pool;
  };
  for (int64_t threads : {3, 8, 1}) {
    std::vector<Tensor> px, ref;
    for (uint32_t i = 0; i < 7; ++i) px.push_back(frame(i));
    px[4] = read_only_copy(px[4]);
    for (const auto& t : px) ref.push_back(read_only_copy(t));
    auto out = halvane::zephan2::px_to_rgb888_chunk(px, &ccs[0], threads, source);
    for (size_t i = 0; i < px.size(); ++i)
      ASSERT_EQ(std::memcmp(out.get() + i * FRAME_BYTES, reference(ref[i], &ccs[0]).data(), FRAME_BYTES), 0) << i;
  }
  EXPECT_EQ(asked, (std::vector<int64_t>{3, 7}));
  // Without a pool source everything runs on the calling thread.
  std::vector<Tensor> px = {frame(9), frame(10)};
  const Tensor ref = read_only_copy(px[1]);
  auto out = halvane::zephan2::px_to_rgb888_chunk(px, nullptr, 2, halvane::zephan2::RgbPoolSource{});
  EXPECT_EQ(std::memcmp(out.get() + FRAME_BYTES, reference(ref, nullptr).data(), FRAME_BYTES), 0);
}

TEST(Rgb888Pool, DestructionRunsQueuedTasksAndJoins) {
  // Tasks queued behind a blocked worker still run before the pool is gone,
  // however the release and the destruction interleave.
  std::atomic<int> ran{0};
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  auto pool = std::make_unique<halvane::zephan2::RgbPool>(1, "z2-test");
  pool->submit([&] {
    open.wait();
    ++ran;
  });
  for (int i = 0; i < 5; ++i) pool->submit([&] { ++ran; });
  std::thread release([&] { gate.set_value(); });
  pool.reset();
  release.join();
  EXPECT_EQ(ran.load(), 6);
}

TEST(Rgb888Pool, FirstFailureInRangeOrderAfterAllRangesRan) {
  // Ranges [0, 4) [4, 8): frame 1 fails at once; the second range converts
  // three frames before frame 7 fails, and the call must wait for that.
  std::vector<Tensor> px = {frame(1), halvane::make_f32({3, 10, 10})};
  for (uint32_t i = 0; i < 5; ++i) px.push_back(frame(2 + i));
  px.push_back(halvane::make_f32({3, 20, 20}));
  const Tensor untouched = read_only_copy(px[2]);
  try {
    halvane::zephan2::RgbPool pool(2);
    halvane::zephan2::px_to_rgb888_chunk(px, nullptr, 2, [&](int64_t) -> halvane::zephan2::RgbPool& { return pool; });
    FAIL() << "no exception";
  } catch (const halvane::ValueError& e) {
    EXPECT_EQ(std::string(e.what()), "cannot reshape array of size 300 into shape (720, 416, 3)");
  }
  for (int i : {4, 5, 6}) EXPECT_EQ(*std::max_element(px[i].f32(), px[i].f32() + 3 * kPlane), 255.0f) << i;
  EXPECT_EQ(std::memcmp(px[2].f32(), untouched.f32(), untouched.nbytes()), 0);
}

}  // namespace
