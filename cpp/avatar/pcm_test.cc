// What the Python tests cannot reach: the rounding of the resampled length
// far from the usual rates, and the producer's round trip through int16.
#include "avatar/pcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using halvane::avatar::resampled_length;

constexpr float kMax = 32767.0f;

TEST(ResampledLength, RoundsHalvesToEven) {
  const int64_t cases[][4] = {
      {5, 32000, 16000, 2},  {3, 32000, 16000, 2},   {7, 32000, 16000, 4},
      {9, 32000, 16000, 4},  {3, 48000, 16000, 1},   {1, 32000, 16000, 0},
      {2, 48000, 16000, 1},  {441, 44100, 16000, 160}, {10, -16000, 16000, 0},
      {int64_t(1) << 40, 3, 1, 366503875925},
  };
  for (const auto& c : cases) EXPECT_EQ(resampled_length(c[0], c[1], c[2]), c[3]) << c[0] << " " << c[1];
  EXPECT_THROW(resampled_length(4, 0, 16000), std::domain_error);
}

}  // namespace
