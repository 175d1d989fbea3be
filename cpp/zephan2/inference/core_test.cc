// Memory-safety sweeps of the host's numeric core, run under ASan + UBSan:
// odd lengths, extreme factors and values, and random buffer traffic.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "common/errors.h"
#include "zephan2/inference/constants.h"
#include "zephan2/inference/dec_inputs.h"
#include "zephan2/inference/sliding_pcm.h"
#include "zephan2/inference/wsola.h"

TEST(Wsola, EveryLengthAndFactorStaysInBounds) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1.5f, 1.5f);
  for (int64_t n : {0, 1, 191, 192, 1119, 1120, 1121, 1312, 2900, 44000, 44001}) {
    std::vector<float> x(static_cast<size_t>(n));
    for (auto& v : x) v = u(rng);
    for (double f : {0.3, 0.8, 1.0, 1.25, 2.0, 7.5}) {
      auto y = halvane::zephan2::tempo_wsola(x.data(), n, f);
      EXPECT_EQ(static_cast<int64_t>(y.size()), halvane::zephan2::wsola_output_length(n, f));
      for (float v : y) ASSERT_TRUE(std::isfinite(v) && v >= -1.0f && v <= 1.0f);
    }
  }
}

TEST(Wsola, NonFiniteSamplesAreDefined) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(halvane::zephan2::wsola_to_buf(std::nan("")), 0.0f);
  EXPECT_EQ(halvane::zephan2::wsola_to_buf(inf), 16777216.0f);
  EXPECT_EQ(halvane::zephan2::wsola_to_buf(-inf), -16777216.0f);
  std::vector<float> x(44000, std::nanf(""));
  auto y = halvane::zephan2::tempo_wsola(x.data(), 44000);
  ASSERT_EQ(y.size(), 35200u);
  for (float v : y) ASSERT_EQ(v, 0.0f);
  EXPECT_THROW(halvane::zephan2::wsola_output_length(10, 0.0), halvane::ZeroDivisionError);
  EXPECT_THROW(halvane::zephan2::wsola_output_length(10, std::nan("")), halvane::ValueError);
}

TEST(SlidingPCM, RandomTrafficKeepsAbsoluteAddressing) {
  std::mt19937 rng(11);
  halvane::zephan2::SlidingPCM pcm(64);
  std::vector<float> all;
  int64_t next = 0;
  for (int step = 0; step < 4000; ++step) {
    if (rng() % 3) {
      std::vector<float> blk(rng() % 300);
      for (auto& v : blk) v = static_cast<float>(next++);
      pcm.append(blk.data(), static_cast<int64_t>(blk.size()));
      all.insert(all.end(), blk.begin(), blk.end());
    } else if (rng() % 5 == 0 && pcm.end() > pcm.start()) {
      // Re-append part of the buffer's own contents.
      halvane::zephan2::FloatView live = pcm.live();
      int64_t k = std::min<int64_t>(live.size, 1 + rng() % 200);
      std::vector<float> expect(live.data, live.data + k);
      pcm.append(live.data, k);
      all.insert(all.end(), expect.begin(), expect.end());
    } else {
      pcm.discard_before(pcm.base() + static_cast<int64_t>(rng() % 400));
    }
    halvane::zephan2::FloatView live = pcm.live();
    ASSERT_EQ(live.size, pcm.fed() - pcm.base());
    ASSERT_EQ(pcm.fed(), static_cast<int64_t>(all.size()));
    for (int64_t i = 0; i < live.size; i += 17) ASSERT_EQ(live.data[i], all[pcm.base() + i]);
    ASSERT_LE(pcm.end(), pcm.capacity());
  }
}

TEST(DecInputs, RowsHoldLatentsAndOnePhase) {
  std::vector<std::vector<float>> lat(3, std::vector<float>(halvane::zephan2::LC * halvane::zephan2::PLANE));
  for (size_t j = 0; j < lat.size(); ++j)
    for (size_t i = 0; i < lat[j].size(); ++i) lat[j][i] = static_cast<float>(j * 1000000 + i);
  std::vector<const float*> ptrs = {lat[0].data(), lat[1].data(), lat[2].data()};
  auto r = halvane::zephan2::build_dec_inputs(ptrs, 2, nullptr);
  ASSERT_EQ(r.n, 5);
  const int64_t row = halvane::zephan2::DEC_CH * halvane::zephan2::PLANE, L = halvane::zephan2::LC * halvane::zephan2::PLANE;
  const float* x = r.xs.get();
  EXPECT_EQ(x[0], lat[0][0]);                    // row 0: latent 0 is its own predecessor
  EXPECT_EQ(x[L + 5], lat[0][5]);
  EXPECT_EQ(x[2 * L + 3 * halvane::zephan2::PLANE], 1.0f);     // phase 3
  EXPECT_EQ(x[row + 7], lat[1][7]);              // row 1: (1, 0)
  EXPECT_EQ(x[row + L + 7], lat[0][7]);
  EXPECT_EQ(x[row + 2 * L], 1.0f);
  EXPECT_EQ(x[row + 2 * L + halvane::zephan2::PLANE], 0.0f);
  EXPECT_THROW(halvane::zephan2::build_dec_inputs(ptrs, 4, nullptr), halvane::IndexError);
}
