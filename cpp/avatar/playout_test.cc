// The playout clock's decisions on a 20 fps stream (800 samples per tick),
// with items as numbers and time passed in: when playback starts, what each
// period puts out and the picture of its fill frame, the reset and the stop
// at the start of a pass, the wait before a period and the schedule after a
// stall, and the producer's room.
#include "avatar/playout.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using halvane::avatar::Arrival;
using halvane::avatar::ClockTiming;
using halvane::avatar::item_flags;
using halvane::avatar::ItemFlags;
using halvane::avatar::PlayoutConfig;
using halvane::avatar::RenderTimes;
using Clock = halvane::avatar::PlayoutClock<int>;
using Fill = Clock::Fill;

constexpr double kPeriod = 1.0 / 20.0;

PlayoutConfig z2(long hold = 50) {
  PlayoutConfig c;
  c.timing = ClockTiming::make(kPeriod, 800, 16000, 21, 32);
  c.tuning = {0.15, 1.35};
  c.preroll_frames = 36;
  c.chunk0_frames = 21;
  c.chunk_frames = 32;
  c.catchup_s = 0.5;
  c.hold = hold;
  return c;
}

// Items by kind: 'p' picture frame, 'm' frame without picture (a marker),
// 'e' end-of-speech frame without picture, 'E' end-of-speech picture frame,
// 'f' forwarded failure, 'x' end of the stream. Payloads count from `first`.
void feed(Clock& c, const std::string& kinds, int first = 0) {
  int n = first;
  for (char k : kinds) {
    ItemFlags f;
    f.frame = k == 'p' || k == 'm' || k == 'e' || k == 'E';
    f.picture = k == 'p' || k == 'E';
    f.end_of_speech = k == 'e' || k == 'E';
    f.terminal = k == 'f' || k == 'x';
    f.stream_end = k == 'x';
    c.take(n++, f);
  }
}

std::vector<int> payloads(const Clock::Period& p) {
  std::vector<int> v;
  for (const auto& it : p.out) v.push_back(it.payload);
  return v;
}

// Start-test inputs that count how often the clock asked for them.
struct Facts {
  Arrival arrival;
  RenderTimes render;
  int asked = 0;
  std::pair<Arrival, RenderTimes> operator()() {
    ++asked;
    return {arrival, render};
  }
};
double need1() { return 3.2; }

// The pictures the clock holds, as the producer's room shows them under the
// default hold of 50: the queued items at which the room closes.
long held(const Clock& c) {
  long queued = 0;
  while (c.room_change(queued, true) == Clock::Room::keep) ++queued;
  return 50 - queued;
}

struct StartRow {
  const char* name;
  std::string buffered;
  Arrival arrival;  // audio since t0 = 0, looked at `now` = 2.0 s
  bool starts;
  bool consults;  // the arrival statistics were read
};

class StartDecision : public ::testing::TestWithParam<StartRow> {};

TEST_P(StartDecision, AtTheFirstDuePeriod) {
  const StartRow& row = GetParam();
  Clock c(z2(), 2.0);
  feed(c, row.buffered);
  Facts facts{row.arrival, {0.3, std::nullopt}};
  Clock::Period p = c.period(2.0, facts, need1);
  EXPECT_EQ(p.started, row.starts);
  EXPECT_EQ(facts.asked > 0, row.consults);
  if (row.starts)
    EXPECT_FALSE(p.out.empty());
  else
    EXPECT_TRUE(p.out.empty());
}

const std::string n(int count, char k = 'p') { return std::string(static_cast<size_t>(count), k); }
const Arrival kNoRun{std::nullopt, 0.0, std::nullopt};
const Arrival kRealTime{0.0, 2.0, std::nullopt};
const Arrival kThreeTimes{0.0, 6.0, std::nullopt};

INSTANTIATE_TEST_SUITE_P(
    Rows, StartDecision,
    ::testing::Values(StartRow{"preroll_without_statistics", n(36), kNoRun, true, false},
                      StartRow{"one_short_of_preroll_without_statistics", n(35), kNoRun, false, true},
                      StartRow{"marker_alone", "e", kNoRun, true, false},
                      StartRow{"end_of_stream_alone", "x", kNoRun, true, false},
                      StartRow{"failure_alone", "f", kNoRun, true, false},
                      StartRow{"few_frames_then_end_of_speech", n(3) + "E", kNoRun, true, false},
                      StartRow{"chunk0_at_real_time_is_too_early", n(21), kRealTime, false, true},
                      StartRow{"chunk0_at_three_times_real_time", n(21), kThreeTimes, true, true},
                      StartRow{"below_chunk0_never_asks", n(20), kThreeTimes, false, false},
                      StartRow{"markers_do_not_count_as_pictures", n(20) + "m", kThreeTimes, false, false}),
    [](const ::testing::TestParamInfo<StartRow>& info) { return std::string(info.param.name); });

struct NeedRow {
  const char* name;
  std::optional<double> engine;  // the engine's own count, if it gives one
  long chunk_frames;
  bool starts;
};

class StartNeed : public ::testing::TestWithParam<NeedRow> {};

// 21 pictures, audio at three times real time for 2 s: chunk 1 is on time
// when its audio is 3.2 s away (the first two chunks of 21 and 32 frames),
// not when it is 9 s away.
TEST_P(StartNeed, EngineCountElseTheClocksGeometry) {
  const NeedRow& row = GetParam();
  PlayoutConfig config = z2();
  config.chunk_frames = row.chunk_frames;
  Clock c(config, 2.0);
  feed(c, n(21));
  Facts facts{kThreeTimes, {0.3, std::nullopt}};
  int asked = 0;
  Clock::Period p = c.period(2.0, facts, [&] {
    ++asked;
    return row.engine;
  });
  EXPECT_EQ(p.started, row.starts);
  EXPECT_EQ(asked, 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, StartNeed,
                         ::testing::Values(NeedRow{"no_count_two_chunks_of_21_and_32", std::nullopt, 32, true},
                                           NeedRow{"no_count_a_longer_second_chunk", std::nullopt, 200, false},
                                           NeedRow{"the_engines_count_wins_when_short", 3.2, 200, true},
                                           NeedRow{"the_engines_count_wins_when_long", 9.0, 32, false}),
                         [](const ::testing::TestParamInfo<NeedRow>& info) { return std::string(info.param.name); });

struct FillRow {
  const char* name;
  std::string before;  // items played out in earlier periods
  int periods_before;
  bool reset;  // an interruption after those periods
  std::string buffered;
  std::vector<int> out;
  Fill fill;
  std::optional<int> picture;
};

class PeriodOutput : public ::testing::TestWithParam<FillRow> {};

TEST_P(PeriodOutput, OnePictureOrAFill) {
  const FillRow& row = GetParam();
  Clock c(z2(), 0.0);
  Facts facts{kNoRun, {}};
  double t = 0.0;
  feed(c, row.before, 100);
  for (int i = 0; i < row.periods_before; ++i, t += kPeriod) c.period(t, facts, need1);
  if (row.reset) c.begin_pass(true, false);
  feed(c, row.buffered);
  Clock::Period p = c.period(t, facts, need1);
  EXPECT_EQ(payloads(p), row.out);
  EXPECT_EQ(p.fill, row.fill);
  EXPECT_EQ(p.picture, row.picture);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PeriodOutput,
    ::testing::Values(
        FillRow{"idle_without_pictures_rests_with_nothing_to_fall_back_on", "", 0, false, "", {}, Fill::resting,
                std::nullopt},
        FillRow{"markers_go_out_with_the_next_picture", "", 0, false, "mmpE", {0, 1, 2}, Fill::none, std::nullopt},
        FillRow{"playing_runs_dry_holds_the_last_picture", n(36), 36, false, "", {}, Fill::hold, 135},
        FillRow{"end_of_speech_picture_ends_playback_then_rest", "pE", 2, false, "", {}, Fill::resting, 101},
        FillRow{"end_of_speech_marker_with_no_picture_after_it", "pe", 1, false, "", {101}, Fill::resting, 100},
        FillRow{"reset_stops_playback_and_rests_on_the_last_picture", n(36), 1, true, "", {}, Fill::resting, 100},
        FillRow{"end_of_stream_ends_the_period", "", 0, false, "mxp", {0, 1}, Fill::none, std::nullopt}),
    [](const ::testing::TestParamInfo<FillRow>& info) { return std::string(info.param.name); });

TEST(ItemFlags, AFrameAloneIsAskedForItsPictureAndEnd) {
  struct Probe {
    bool end, term, frm, pic, eos;
    std::string asked;  // e(nd) t(erminal) f(rame) p(icture) s(peech end)
    bool note(char c, bool v) { return asked += c, v; }
    bool stream_end() { return note('e', end); }
    bool terminal() { return note('t', term); }
    bool frame() { return note('f', frm); }
    bool picture() { return note('p', pic); }
    bool end_of_speech() { return note('s', eos); }
  };
  struct Row {
    const char* what;
    Probe probe;
    const char* asked;
    bool picture, end_of_speech;
  } rows[] = {
      {"end of the stream", {true, true, false, true, true, {}}, "etf", false, false},
      {"failure", {false, true, false, true, true, {}}, "etf", false, false},
      {"picture", {false, false, true, true, false, {}}, "etfps", true, false},
      {"marker", {false, false, true, false, true, {}}, "etfps", false, true},
  };
  for (Row& r : rows) {
    const ItemFlags f = item_flags(r.probe);
    EXPECT_EQ(r.probe.asked, r.asked) << r.what;
    EXPECT_EQ(f.stream_end, r.probe.end) << r.what;
    EXPECT_EQ(f.terminal, r.probe.term) << r.what;
    EXPECT_EQ(f.frame, r.probe.frm) << r.what;
    EXPECT_EQ(f.picture, r.picture) << r.what;
    EXPECT_EQ(f.end_of_speech, r.end_of_speech) << r.what;
  }
}

TEST(PlayoutReset, KeepsTheTerminalItemsInOrderAndTheSchedule) {
  const double due = 1.0;
  Clock c(z2(), due);
  Facts facts{kNoRun, {}};
  feed(c, n(10) + "f" + n(5) + "x");
  EXPECT_EQ(held(c), 15);
  c.begin_pass(true, false);
  EXPECT_EQ(held(c), 0);
  EXPECT_DOUBLE_EQ(*c.wait_s(0.0), due);
  Clock::Period p = c.period(due, facts, need1);
  EXPECT_TRUE(p.started && p.ends);
  EXPECT_EQ(payloads(p), (std::vector<int>{10, 16}));
}

struct RoomChangeRow {
  long buffered, queued;
  bool is_open;
  Clock::Room change;
};

class PlayoutRoomChange : public ::testing::TestWithParam<RoomChangeRow> {};

TEST_P(PlayoutRoomChange, OnlyWhatDiffersFromTheEvent) {
  const RoomChangeRow& row = GetParam();
  Clock c(z2(50), 0.0);
  feed(c, n(static_cast<int>(row.buffered)) + "mx");  // markers and terminal items take no room
  EXPECT_EQ(c.room_change(row.queued, row.is_open), row.change);

  struct Event {
    bool set;
    std::string done;
    bool is_open() const { return set; }
    void open() { done += "open"; }
    void close() { done += "close"; }
  } room{row.is_open, {}};
  c.update_room(row.queued, room);
  EXPECT_EQ(room.done, row.change == Clock::Room::open ? "open" : row.change == Clock::Room::close ? "close" : "");
}

INSTANTIATE_TEST_SUITE_P(Rows, PlayoutRoomChange,
                         ::testing::Values(RoomChangeRow{10, 0, true, Clock::Room::keep},
                                           RoomChangeRow{10, 0, false, Clock::Room::open},  // the producer closed it
                                           RoomChangeRow{49, 0, true, Clock::Room::keep},
                                           RoomChangeRow{49, 1, true, Clock::Room::close},
                                           RoomChangeRow{50, 0, false, Clock::Room::keep},
                                           RoomChangeRow{0, 50, true, Clock::Room::close}),
                         [](const ::testing::TestParamInfo<RoomChangeRow>& info) {
                           const RoomChangeRow& r = info.param;
                           return "buffered" + std::to_string(r.buffered) + "_queued" + std::to_string(r.queued) +
                                  (r.is_open ? "_open" : "_closed");
                         });

TEST(PlayoutRoomChange, OpensAgainAsPicturesGoOut) {
  Clock c(z2(37), 0.0);
  Facts facts{kNoRun, {}};
  feed(c, n(37));
  EXPECT_EQ(c.room_change(0, true), Clock::Room::close);
  c.period(0.0, facts, need1);
  EXPECT_EQ(c.room_change(0, false), Clock::Room::open);
  EXPECT_EQ(c.room_change(1, true), Clock::Room::close);  // 36 held
}

struct PictureRow {
  const char* name;
  std::string before;  // played out in earlier periods
  int periods_before;
  std::string buffered;
  std::optional<int> engine;  // the engine's resting picture
  std::optional<int> picture;
  bool asks_engine;
};

class FillPicture : public ::testing::TestWithParam<PictureRow> {};

TEST_P(FillPicture, HoldRestingOrNothing) {
  const PictureRow& row = GetParam();
  Clock c(z2(), 0.0);
  Facts facts{kNoRun, {}};
  double t = 0.0;
  feed(c, row.before, 100);
  for (int i = 0; i < row.periods_before; ++i, t += kPeriod) c.period(t, facts, need1);
  feed(c, row.buffered);
  const Clock::Period p = c.period(t, facts, need1);
  int asked = 0;
  const std::optional<int> got = Clock::fill_picture(p, [&] {
    ++asked;
    return row.engine;
  });
  EXPECT_EQ(got, row.picture);
  EXPECT_EQ(asked > 0, row.asks_engine);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FillPicture,
    ::testing::Values(
        PictureRow{"a_picture_went_out_no_fill", "", 0, n(36), 7, std::nullopt, false},
        PictureRow{"playing_runs_dry_holds_the_last_picture_not_the_engines", n(36), 36, "", 7, 135, false},
        PictureRow{"resting_prefers_the_engines_picture", "pE", 2, "", 7, 7, true},
        PictureRow{"resting_without_an_engine_picture_shows_the_last_one", "pE", 2, "", std::nullopt, 101, true},
        PictureRow{"resting_with_nothing_ever_shown_shows_nothing", "", 0, "", std::nullopt, std::nullopt, true}),
    [](const ::testing::TestParamInfo<PictureRow>& info) { return std::string(info.param.name); });

struct PassRow {
  const char* name;
  std::string buffered;
  bool interrupted, stopping;
  std::vector<int> out;
  bool ends;
  long pictures_after;
};

class PlayoutPassStart : public ::testing::TestWithParam<PassRow> {};

TEST_P(PlayoutPassStart, ResetThenStop) {
  const PassRow& row = GetParam();
  Clock c(z2(), 0.0);
  feed(c, row.buffered);
  Clock::Period p = c.begin_pass(row.interrupted, row.stopping);
  EXPECT_EQ(payloads(p), row.out);
  EXPECT_EQ(p.ends, row.ends);
  EXPECT_EQ(p.fill, Fill::none);
  EXPECT_EQ(held(c), row.pictures_after);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PlayoutPassStart,
    ::testing::Values(PassRow{"interrupted_drops_the_frames_and_puts_nothing_out", "ppfx", true, false, {}, false, 0},
                      PassRow{"stopping_forwards_the_terminal_items", "ppfx", false, true, {2, 3}, true, 0},
                      PassRow{"stopping_forwards_nothing_after_the_end", "xfp", false, true, {0}, true, 0},
                      PassRow{"stopping_with_a_failure_without_end_empties", "pfp", false, true, {1}, false, 0},
                      PassRow{"interrupted_and_stopping", "pfpx", true, true, {1, 3}, true, 0},
                      PassRow{"stopping_without_a_terminal_item_paces_on", "ppe", false, true, {}, false, 2},
                      PassRow{"interrupted_and_stopping_with_nothing_terminal", "ppe", true, true, {}, false, 0}),
    [](const ::testing::TestParamInfo<PassRow>& info) { return std::string(info.param.name); });

TEST(PlayoutSchedule, AfterAStallTheScheduleLagsByTheCatchUp) {
  Clock c(z2(), 0.0);
  Facts facts{kNoRun, {}};
  c.period(0.0, facts, need1);
  EXPECT_DOUBLE_EQ(*c.wait_s(0.0), kPeriod);
  // Held up for 2 s: the schedule restarts 0.5 s behind real time, so the
  // next period is due at once (how many go back to back is advance_due's).
  const double now = 2.0 + kPeriod;
  c.period(now, facts, need1);
  EXPECT_EQ(c.wait_s(now), std::nullopt);
  EXPECT_NEAR(*c.wait_s(now - 1.0), 0.5, 1e-9);  // due at now - 0.5
}

}  // namespace
