// Tick counts, the tick emission's decisions (zephan-2 slices, pushes and
// their timing, each tick's samples, the last tick, the picture source) and
// the sample conversions of the live producer.
#include "avatar/ticks.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace halvane::avatar;

TEST(Ticks, BufferCounts) {
  // 10 whole ticks and one sample: 7 may leave while open.
  EXPECT_EQ(ready_total(10 * 800 + 1, 800, 3), 7);
  EXPECT_EQ(ready_total(3 * 800 + 799, 800, 3), 0);
  EXPECT_EQ(ready_total(0, 800, 3), 0);
}

TEST(Ticks, NToEmitTable) {
  struct Case {
    EmitAsk ask;
    int64_t available;  // the runtime's ready ticks
    int64_t want;
  } cases[] = {
      // streaming, open: capped by what the runtime has and by the lookback
      {{true, false, std::nullopt, 0, 7}, 10, 7},
      {{true, false, std::nullopt, 0, 7}, 2, 2},
      {{true, false, std::nullopt, 9, 7}, 5, 0},
      // streaming tail: capped by tail_total, or uncapped without it
      {{true, true, 11, 7, 0}, 20, 4},
      {{true, true, 11, 7, 0}, 1, 1},
      {{true, true, std::nullopt, 7, 0}, 20, 20},
      // composed: the runtime is not asked
      {{false, false, std::nullopt, 2, 7}, 99, 5},
      {{false, false, std::nullopt, 9, 7}, 99, -2},
      {{false, true, 11, 7, 0}, 99, 4},
  };
  for (const auto& c : cases) {
    int asked = 0;
    EXPECT_EQ(n_to_emit(c.ask, [&] { return ++asked, c.available; }), c.want);
    EXPECT_EQ(asked, c.ask.streaming ? 1 : 0);  // a composed call never asks the runtime
  }
}

TEST(Ticks, ZephanSlices) {
  const int64_t slice = 25600;
  struct Row {
    const char* what;
    bool sliced;
    int64_t n_buf, pushed, early;
    bool stop;
    SliceStep::Kind kind;
    int64_t end;
  } rows[] = {
      {"not a zephan-2 stream", false, 60000, 0, 0, false, SliceStep::whole, 0},
      {"not a zephan-2 stream, stopped", false, 60000, 0, 0, true, SliceStep::whole, 0},
      {"first slice", true, 60000, 0, 0, false, SliceStep::slice, 25600},
      {"second slice", true, 60000, 25600, 10, false, SliceStep::slice, 51200},
      {"the rest after slices", true, 60000, 51200, 20, false, SliceStep::rest, 0},
      {"exactly one slice new", true, 25600, 0, 0, false, SliceStep::whole, 0},
      {"stopped before any slice", true, 60000, 0, 0, true, SliceStep::abandon, 0},
      {"interrupted between slices", true, 60000, 25600, 10, true, SliceStep::abandon, 0},
      {"stopped, nothing to slice", true, 800, 0, 0, true, SliceStep::abandon, 0},
  };
  for (const Row& r : rows) {
    const SliceStep st = next_slice(r.sliced, r.n_buf, r.pushed, slice, r.early, r.stop);
    EXPECT_EQ(st.kind, r.kind) << r.what;
    if (r.kind == SliceStep::slice) {
      EXPECT_EQ(st.end, r.end) << r.what;
    }
  }
}

TEST(Ticks, PushOnlyNewAudioOfALiveUtterance) {
  struct Row {
    bool streaming;
    int64_t n_buf, pushed;
    bool stop;
    Push want;
  } rows[] = {
      {true, 1600, 800, false, Push::push}, {true, 1600, 800, true, Push::abandon},
      {true, 1600, 1600, true, Push::none}, {false, 1600, 0, false, Push::none},
  };
  for (const Row& r : rows)
    EXPECT_EQ(push_step(r.streaming, r.n_buf, r.pushed, r.stop), r.want)
        << r.streaming << " " << r.n_buf << " " << r.pushed << " " << r.stop;
}

TEST(Ticks, OnlyAPushThatMadeTicksIsTimed) {
  struct Row {
    const char* what;
    bool first_known;
    std::optional<double> steady;
    int64_t before, after;
    PushTime::Kind kind;
    double value;
  } rows[] = {
      {"no new tick", false, std::nullopt, 0, 0, PushTime::none, 0.0},
      {"fewer ticks (pulled meanwhile)", true, 0.2, 3, 2, PushTime::none, 0.0},
      {"the first", false, std::nullopt, 0, 1, PushTime::first, 0.4},
      {"the second as it is", true, std::nullopt, 1, 2, PushTime::steady, 0.4},
      {"then blended", true, 0.2, 2, 5, PushTime::steady, 0.26},  // 0.7 of 0.2 and 0.3 of 0.4
  };
  for (const Row& r : rows) {
    const PushTime t = time_push(r.first_known, r.steady, r.before, r.after, 0.4);
    EXPECT_EQ(t.kind, r.kind) << r.what;
    if (r.kind != PushTime::none) {
      EXPECT_DOUBLE_EQ(t.value, r.value) << r.what;
    }
  }
}

TEST(Ticks, OnlyATimedPushAsksTheRuntimeAndTheClock) {
  struct Row {
    const char* what;
    bool timed;
    int64_t before, after;
    PushTime::Kind kind;
  } rows[] = {
      {"untimed", false, 0, 4, PushTime::none},
      {"timed, ticks made", true, 0, 4, PushTime::first},
      {"timed, none made", true, 4, 4, PushTime::none},
  };
  for (const Row& r : rows) {
    std::string asked;  // r(eady) n(ow) k(nown timing), in order
    bool pushed = false;
    auto ready = [&] { return asked += 'r', pushed ? r.after : r.before; };
    auto now = [&] { return asked += 'n', pushed ? 10.25 : 10.0; };
    auto known = [&] { return asked += 'k', std::pair<bool, std::optional<double>>(false, std::nullopt); };
    const PushTimer timer(r.timed, ready, now);
    pushed = true;
    const PushTime t = timer.after(ready, now, known);
    EXPECT_EQ(t.kind, r.kind) << r.what;
    EXPECT_EQ(asked, r.timed ? "rnrkn" : "n") << r.what;
    if (t.kind == PushTime::first) {
      EXPECT_DOUBLE_EQ(t.value, 0.25) << r.what;
    }
  }
}

TEST(Ticks, TheLastTickClosesOnlyAMarkedPaddedTail) {
  struct Row {
    const char* what;
    EmitAsk ask;
    bool mark_last;
    int64_t k, n, tick_idx;
    bool want;
  } rows[] = {
      {"streaming, last ready", {true, true, 11, 7, 0}, true, 3, 4, 10, true},
      {"streaming, not last", {true, true, 11, 7, 0}, true, 2, 4, 9, false},
      {"streaming, unmarked", {true, true, 11, 7, 0}, false, 3, 4, 10, false},
      {"streaming, open", {true, false, std::nullopt, 0, 7}, true, 6, 7, 6, false},
      {"composed, last of the utterance", {false, true, 11, 7, 0}, true, 3, 4, 10, true},
      {"composed, last of the call only", {false, true, 11, 5, 0}, true, 1, 2, 6, false},
  };
  for (const Row& r : rows) EXPECT_EQ(is_last_tick(r.ask, r.mark_last, r.k, r.n, r.tick_idx), r.want) << r.what;
}

// The ticks a call hands out, as "index:from+avail" with "!" on the one
// that closes the utterance; the session stops before the tick at `stop_at`
// (-1: never).
TEST(Ticks, ARunHandsOutEachTickUntilDoneOrStopped) {
  struct Row {
    const char* what;
    EmitAsk ask;
    int64_t n, n_buf, stop_at;
    std::string want;
    int asked;  // stop-or-interrupt reads
  } rows[] = {
      {"open utterance", {true, false, std::nullopt, 2, 0}, 3, 5 * 800, -1, "2:1600+800 3:2400+800 4:3200+800 ", 3},
      {"streaming tail", {true, true, 4, 2, 0}, 2, 3 * 800 + 100, -1, "2:1600+800 3:2400+100! ", 2},
      {"composed tail past the audio", {false, true, 5, 3, 0}, 2, 3 * 800 + 100, -1, "3:2400+100 4:2500+0! ", 2},
      {"stopped before the second", {true, true, 4, 2, 0}, 2, 4 * 800, 1, "2:1600+800 ", 2},
      {"stopped at once", {true, false, std::nullopt, 0, 0}, 3, 3 * 800, 0, "", 1},
      {"nothing to emit", {true, false, std::nullopt, 0, 0}, 0, 0, 0, "", 0},
  };
  for (const Row& r : rows) {
    TickRun run(r.ask, true, r.n, 800, r.n_buf);
    std::string got;
    int asked = 0;
    for (int64_t k = 0;; ++k) {
      const std::optional<TickRun::Tick> t = run.next([&] { return ++asked, k == r.stop_at; });
      if (!t) break;
      got += std::to_string(t->idx) + ":" + std::to_string(t->span.from) + "+" + std::to_string(t->span.avail) +
             (t->last ? "! " : " ");
    }
    EXPECT_EQ(got, r.want) << r.what;
    EXPECT_EQ(asked, r.asked) << r.what;
  }
}

TEST(Ticks, OnlyComposingEndsQuietlyOutOfAudio) {
  struct Row {
    PictureSource src;
    bool value_error;
    std::string text;
    bool want, asked;
  } rows[] = {
      {PictureSource::compose, true, "compose: cursor past end of the utterance's audio", true, true},
      {PictureSource::compose, true, "engine status=6", true, true},
      {PictureSource::compose, true, "bad size", false, true},
      {PictureSource::compose, false, "cursor past end", false, false},
      {PictureSource::pull, true, "cursor past end", false, false},
  };
  for (const Row& r : rows) {
    bool asked = false;
    EXPECT_EQ(ran_out_of_audio(r.src, r.value_error, [&] { return asked = true, r.text; }), r.want) << r.text;
    EXPECT_EQ(asked, r.asked) << r.text;
  }
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
