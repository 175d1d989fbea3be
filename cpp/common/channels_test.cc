// Which axis of an audio array holds its channels, and their mean.
#include "common/channels.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using halvane::ChannelAxis;

TEST(ChannelAxis, ShortAxisBesideALongOneHoldsTheChannels) {
  struct Row {
    std::vector<ptrdiff_t> shape;
    ChannelAxis want;
  };
  const Row rows[] = {
      {{}, ChannelAxis::none},          {{5}, ChannelAxis::none},         {{1, 4}, ChannelAxis::none},
      {{20, 1}, ChannelAxis::none},     {{0, 2}, ChannelAxis::none},      {{2, 0}, ChannelAxis::none},
      {{2, 20}, ChannelAxis::rows},     {{8, 9}, ChannelAxis::rows},      {{9, 8}, ChannelAxis::columns},
      {{16000, 2}, ChannelAxis::columns}, {{2, 2}, ChannelAxis::unclear}, {{8, 8}, ChannelAxis::unclear},
      {{9, 9}, ChannelAxis::unclear},   {{2, 5}, ChannelAxis::unclear},   {{20, 2, 1}, ChannelAxis::unclear},
      {{1, 1, 20}, ChannelAxis::unclear},
  };
  for (const Row& r : rows) {
    std::string shape;
    for (ptrdiff_t n : r.shape) shape += std::to_string(n) + " ";
    EXPECT_EQ(halvane::channel_axis(r.shape), r.want) << shape;
  }
}

TEST(MixDown, MeanInTheSamplesOwnType) {
  // Interleaved frames of two channels: int16 truncated toward zero in 32
  // bits (no overflow at the extremes), floats not clipped here.
  const std::vector<int16_t> i16 = {1, -2, -1, 2, 3, 4, -3, -4, 32767, 32767, -32768, -32768, 32767, -32768};
  std::vector<int16_t> out(7);
  halvane::mix_down<int16_t>(i16.data(), 7, 2, 4, 2, out.data());
  EXPECT_EQ(out, (std::vector<int16_t>{0, 0, 3, -3, 32767, -32768, 0}));
  // The same samples planar (one channel after the other) and read backwards.
  std::vector<int16_t> planar(14);
  for (size_t f = 0; f < 7; ++f) planar[f] = i16[2 * f], planar[7 + f] = i16[2 * f + 1];
  halvane::mix_down<int16_t>(planar.data() + 6, 7, 2, -2, 14, out.data());
  EXPECT_EQ(out, (std::vector<int16_t>{0, -32768, 32767, -3, 3, 0, 0}));

  const std::vector<float> f32 = {2.0f, 0.0f, -3.0f, 0.5f, 0.25f, 0.25f};
  std::vector<float> mean(3);
  halvane::mix_down<float>(f32.data(), 3, 2, 8, 4, mean.data());
  EXPECT_EQ(mean, (std::vector<float>{1.0f, -1.25f, 0.25f}));
  halvane::mix_down<float>(nullptr, 2, 0, 0, 0, mean.data());
  EXPECT_EQ(mean, (std::vector<float>{0.0f, 0.0f, 0.25f}));
}

}  // namespace
