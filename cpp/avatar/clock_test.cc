// The playout clock's start test on the worked numbers of a 20 fps stream
// (800 samples per tick), its boundary, the fallbacks of its inputs, the
// catch-up bound and the hold bound.
#include "avatar/clock.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using halvane::avatar::advance_due;
using halvane::avatar::Arrival;
using halvane::avatar::ClockTiming;
using halvane::avatar::hold_frames;
using halvane::avatar::RenderTimes;
using halvane::avatar::StartTest;
using halvane::avatar::StartTuning;

ClockTiming z2() { return ClockTiming::make(1.0 / 20.0, 800, 16000, 21, 32); }
const StartTuning kTuning{0.15, 1.35};

// Audio arriving at `speed` times real time since t0 = 0, still open.
Arrival arriving(double speed, double now) { return Arrival{0.0, speed * now, std::nullopt}; }

TEST(ClockTiming, AudioForFramesOfA20FpsStream) {
  ClockTiming t = z2();
  EXPECT_NEAR(t.ahead_s, 0.55, 1e-12);
  EXPECT_NEAR(t.audio_for(21), 1.6, 1e-12);
  EXPECT_NEAR(t.audio_for(21 + 32), 3.2, 1e-12);
}

TEST(StartTest, WorkedExampleAtRealTimeArrival) {
  ClockTiming t = z2();
  StartTest st;
  int need_calls = 0;
  auto need1 = [&] {
    ++need_calls;
    return 3.2;
  };
  RenderTimes rt{0.3, std::nullopt};
  EXPECT_FALSE(st.next_chunk_in_time(t, 21, 2.0, arriving(1.0, 2.0), need1, rt, kTuning));
  ASSERT_TRUE(st.t_chunk0 && st.lag0);
  EXPECT_EQ(*st.t_chunk0, 2.0);
  EXPECT_NEAR(*st.lag0, 0.4, 1e-12);
  // Just short of 2.705 s the buffered frames end before chunk 1 + margin (3.2 + 0.405 + 0.15).
  EXPECT_FALSE(st.next_chunk_in_time(t, 21, 2.705 - 1e-6, arriving(1.0, 2.705 - 1e-6), need1, rt, kTuning));
  EXPECT_TRUE(st.next_chunk_in_time(t, 21, 2.705, arriving(1.0, 2.705), need1, rt, kTuning));
  EXPECT_EQ(need_calls, 3);
  // t_chunk0 and lag0 stay from the first look until cleared.
  EXPECT_EQ(*st.t_chunk0, 2.0);
  EXPECT_NEAR(*st.lag0, 0.4, 1e-12);
  st.clear();
  EXPECT_FALSE(st.t_chunk0 || st.lag0);
}

TEST(StartTest, ThreeTimesRealTimePassesAtOnce) {
  StartTest st;
  EXPECT_TRUE(st.next_chunk_in_time(z2(), 21, 2.0, arriving(3.0, 2.0), [] { return 3.2; }, {0.3, std::nullopt}, kTuning));
}

TEST(StartTest, NoArrivalMeansNoStartAndNoState) {
  StartTest st;
  int need_calls = 0;
  auto need1 = [&] {
    ++need_calls;
    return 3.2;
  };
  EXPECT_FALSE(st.next_chunk_in_time(z2(), 35, 9.0, Arrival{}, need1, {}, kTuning));
  EXPECT_FALSE(st.next_chunk_in_time(z2(), 35, 9.0, Arrival{0.0, 0.0, std::nullopt}, need1, {}, kTuning));
  EXPECT_FALSE(st.t_chunk0);
  EXPECT_EQ(need_calls, 0);
}

TEST(StartTest, RenderTimeFallbacks) {
  // r1 = steady if measured, else r0 x 1.35, else lag0 x 1.35. With all the
  // audio in at t_end = 3.2 (rate 1) and 21 frames at now = 3.0, the test
  // passes when 3.0 + 1.05 >= 3.2 + r1 + 0.15, i.e. r1 <= 0.7.
  struct Case {
    std::optional<double> r0, steady;
    bool pass;
  } cases[] = {
      {std::nullopt, 0.7, true},   // steady used as it comes
      {std::nullopt, 0.71, false},
      {0.5, std::nullopt, true},   // 0.675
      {0.52, std::nullopt, false},  // 0.702
      {0.9, 0.6, true},             // steady wins over r0
  };
  for (const Case& c : cases) {
    StartTest st;
    Arrival done{0.0, 3.2, 3.2};
    EXPECT_EQ(st.next_chunk_in_time(z2(), 21, 3.0, done, [] { return 3.2; }, {c.r0, c.steady}, kTuning), c.pass)
        << c.r0.value_or(-1) << " " << c.steady.value_or(-1);
  }
  // No measurement: lag0 x 1.35. Audio at half real time: at now = 4.0 with
  // 2.0 s in, chunk 0's 1.6 s were in at 3.2, lag0 = 0.8, r1 = 1.08; t_audio1 = 6.4.
  StartTest st;
  EXPECT_FALSE(st.next_chunk_in_time(z2(), 21, 4.0, arriving(0.5, 4.0), [] { return 3.2; }, {}, kTuning));
  EXPECT_NEAR(*st.lag0, 0.8, 1e-12);
  double pass_at = 6.4 + 0.8 * 1.35 + 0.15 - 1.05;
  EXPECT_FALSE(st.next_chunk_in_time(z2(), 21, pass_at - 1e-6, arriving(0.5, pass_at - 1e-6), [] { return 3.2; }, {}, kTuning));
  EXPECT_TRUE(st.next_chunk_in_time(z2(), 21, pass_at, arriving(0.5, pass_at), [] { return 3.2; }, {}, kTuning));
}

TEST(StartTest, RateIsMeasuredUpToTheEndOfInput) {
  // 3.2 s arrived by t_end = 1.0 (3.2x): t_audio1 = 1.0, held at t_chunk0 = 5.0.
  // Measured up to now (5.0) the rate would be 0.64 and chunk 1 due at 5.0.
  StartTest st;
  Arrival done{0.0, 3.2, 1.0};
  EXPECT_TRUE(st.next_chunk_in_time(z2(), 21, 5.0, done, [] { return 3.2; }, {0.3, std::nullopt}, kTuning));
  StartTest open;
  EXPECT_FALSE(open.next_chunk_in_time(z2(), 21, 5.0, Arrival{0.0, 3.2, std::nullopt}, [] { return 4.0; },
                                       {0.3, std::nullopt}, kTuning));
}

TEST(AdvanceDue, NeverLagsMoreThanTheCatchUp) {
  EXPECT_DOUBLE_EQ(advance_due(10.0, 0.05, 10.01, 0.5), 10.05);
  // A 2 s stall: the schedule restarts 0.5 s behind, so 10 periods go out
  // back to back before the next one is in the future again.
  double due = 10.0;
  double now = 12.0;
  int back_to_back = 0;
  due = advance_due(due, 0.05, now, 0.5);
  EXPECT_DOUBLE_EQ(due, 11.5);
  while (due <= now) {
    due = advance_due(due, 0.05, now, 0.5);
    ++back_to_back;
  }
  EXPECT_EQ(back_to_back, 10);
}

TEST(HoldFrames, SecondsOfFramesAndAlwaysMoreThanThePreroll) {
  EXPECT_EQ(hold_frames(2.5, 0.05, 36), 50);
  EXPECT_EQ(hold_frames(1.0, 0.05, 36), 37);
  EXPECT_EQ(hold_frames(0.0, 0.05, 36), 37);
  EXPECT_EQ(hold_frames(2.5, 0.04, 36), 63);
}

}  // namespace
