// The render clock's statistics and the short-render check's arithmetic, at
// the edges where a rounding or an off-by-one would show. The refusal texts are
// held byte for byte by tests/open/test_render_loop.py.
#include "open/render_loop.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>

namespace {

using halvane::open::RenderClock;
using halvane::open::short_check;
using halvane::open::short_floor;

TEST(RenderClock, StatsNeedAChunkAndAFrame) {
  RenderClock c;
  EXPECT_FALSE(c.stats());
  c.frame(5.0);  // a frame before any chunk was drawn
  EXPECT_FALSE(c.stats());
  c.chunk_drawn(2.0);
  c.chunk_drawn(3.0);  // only the first draw counts
  ASSERT_TRUE(c.t0);
  EXPECT_EQ(*c.t0, 2.0);
  c.frame(6.0);
  auto st = c.stats();
  ASSERT_TRUE(st);
  EXPECT_EQ(st->frames, 2);
  EXPECT_EQ(st->render_seconds, 4.0);
  EXPECT_EQ(st->render_fps, 0.5);

  RenderClock drawn_only;
  drawn_only.chunk_drawn(1.0);
  EXPECT_FALSE(drawn_only.stats());
}

TEST(RenderClock, EqualOrBackwardReadingsFloorAtOneNanosecond) {
  for (double t1 : {7.0, 6.5}) {
    RenderClock c;
    c.chunk_drawn(7.0);
    c.frame(t1);
    auto st = c.stats();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->render_seconds, 1e-9);
    EXPECT_EQ(st->render_fps, 1.0 / 1e-9);
    EXPECT_LT(st->render_fps, 1e9);
  }
}

TEST(ShortCheck, FloorAllowsTwoFramesOrTwoPercent) {
  struct Case {
    int64_t expected, floor;
  };
  for (Case c : {Case{1, -1}, {2, 0}, {3, 1}, {25, 23}, {100, 98}, {149, 147}, {150, 147}, {199, 196}, {200, 196},
                 {250, 245}, {1449, 1421}, {1450, 1421}, {100000, 98000}}) {
    EXPECT_EQ(short_floor(c.expected), c.floor) << c.expected;
    EXPECT_EQ(short_check(c.floor, c.expected).floor, std::optional<int64_t>(c.floor));
    EXPECT_FALSE(short_check(c.floor, c.expected).short_render) << c.expected;
    if (c.floor >= 1) {
      EXPECT_TRUE(short_check(c.floor - 1, c.expected).short_render) << c.expected;
    }
  }
  EXPECT_TRUE(short_check(97, 100).short_render);
  EXPECT_FALSE(short_check(98, 100).short_render);
  EXPECT_FALSE(short_check(0, 2).short_render);
  EXPECT_FALSE(short_check(0, 1).short_render);
}

TEST(ShortCheck, WithoutACountOnlyNothingIsShort) {
  EXPECT_TRUE(short_check(0, std::nullopt).short_render);
  EXPECT_FALSE(short_check(0, std::nullopt).floor);
  for (int64_t d : {int64_t{1}, int64_t{2}, std::numeric_limits<int64_t>::max()})
    EXPECT_FALSE(short_check(d, std::nullopt).short_render);
}

}  // namespace
