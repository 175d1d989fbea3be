// Tick counts, tail sizes and the sample conversions of the live producer.
#include "avatar/ticks.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

using namespace halvane::avatar;

TEST(Ticks, BufferCounts) {
  // 10 whole ticks and one sample: 11 ticks, of which 7 may leave while open.
  EXPECT_EQ(total_audio_ticks(10 * 800 + 1, 800), 11);
  EXPECT_EQ(total_audio_ticks(10 * 800, 800), 10);
  EXPECT_EQ(total_audio_ticks(0, 800), 0);
  EXPECT_EQ(ready_total(10 * 800 + 1, 800, 3), 7);
  EXPECT_EQ(ready_total(3 * 800 + 799, 800, 3), 0);
  EXPECT_EQ(ready_total(0, 800, 3), 0);
}

TEST(Ticks, NToEmitTable) {
  struct Case {
    EmitAsk ask;
    int64_t want;
  } cases[] = {
      // streaming, open: capped by what the runtime has and by the lookback
      {{true, false, std::nullopt, 0, 7, 10}, 7},
      {{true, false, std::nullopt, 0, 7, 2}, 2},
      {{true, false, std::nullopt, 9, 7, 5}, 0},
      // streaming tail: capped by tail_total, or uncapped without it
      {{true, true, 11, 7, 0, 20}, 4},
      {{true, true, 11, 7, 0, 1}, 1},
      {{true, true, std::nullopt, 7, 0, 20}, 20},
      // composed: the runtime is not asked
      {{false, false, std::nullopt, 2, 7, 0}, 5},
      {{false, false, std::nullopt, 9, 7, 0}, -2},
      {{false, true, 11, 7, 0, 0}, 4},
  };
  for (const auto& c : cases) EXPECT_EQ(n_to_emit(c.ask), c.want);
}

TEST(Ticks, TailPadAndLength) {
  EXPECT_EQ(tail_pad(true, false, 8, 3, 16), 8);
  EXPECT_EQ(tail_pad(false, false, 8, 3, 16), 3);
  EXPECT_EQ(tail_pad(true, true, 8, 3, 16), 16);
  EXPECT_EQ(tail_pad(false, true, 8, 3, 16), 16);
  EXPECT_EQ(tail_pad(true, true, 20, 3, 16), 20);
  EXPECT_EQ(tail_target_len(7, 4, 8, 800), 19 * 800);
}

TEST(Ticks, SmoothedPush) {
  EXPECT_DOUBLE_EQ(smooth_push_s(std::nullopt, 0.2), 0.2);
  EXPECT_DOUBLE_EQ(smooth_push_s(0.2, 0.4), 0.7 * 0.2 + 0.3 * 0.4);
}

TEST(Ticks, TickToI16ClipsScalesAndPads) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> src = {1.5f, -1.5f, 0.5f, -0.5f, 0.99999f, nan};
  std::vector<int16_t> out(8, 7);
  tick_to_i16(src.data(), src.size(), out.size(), 32767.0f, out.data());
  EXPECT_EQ(out, (std::vector<int16_t>{32767, -32767, 16383, -16383, 32766, 0, 0, 0}));
  // More samples than a tick: only the tick's own are read.
  std::vector<int16_t> two(2);
  tick_to_i16(src.data(), src.size(), 2, 32767.0f, two.data());
  EXPECT_EQ(two, (std::vector<int16_t>{32767, -32767}));
}

TEST(Ticks, ScaleWithoutClipping) {
  // -1.0000305 (int16 -32768 scaled back) stays -32768; the rest truncates.
  const std::vector<float> src = {-32768.0f / 32767.0f, 0.25f, -0.25f, 2.0f};
  std::vector<int16_t> out(src.size());
  scale_to_i16(src.data(), src.size(), 32767.0f, out.data());
  EXPECT_EQ(out, (std::vector<int16_t>{-32768, 8191, -8191, 32767}));
}

TEST(Ticks, AppendAndExtend) {
  const std::vector<float> old = {0.25f, -0.25f};
  const std::vector<int16_t> add = {0, 16384, -32768, 32767};
  std::vector<float> out(6);
  append_i16_as_f32(old.data(), old.size(), add.data(), add.size(), 32767.0f, out.data());
  EXPECT_EQ(out[0], 0.25f);
  EXPECT_EQ(out[1], -0.25f);
  EXPECT_EQ(out[2], 0.0f);
  EXPECT_EQ(out[3], 16384.0f / 32767.0f);
  EXPECT_EQ(out[4], -32768.0f / 32767.0f);
  EXPECT_EQ(out[5], 1.0f);

  std::vector<float> longer(5, 9.0f);
  extend_with_zeros(old.data(), old.size(), longer.size(), longer.data());
  EXPECT_EQ(longer, (std::vector<float>{0.25f, -0.25f, 0.0f, 0.0f, 0.0f}));
}

}  // namespace
