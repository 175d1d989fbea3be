// get_first_frame()'s answer in each case, with the facts asked only as far
// as the answer needs them, and the polling for a resting picture.
#include "avatar/first_frame.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

namespace {

using halvane::avatar::first_frame;
using halvane::avatar::FirstFrame;
using halvane::avatar::Geometry;
using halvane::avatar::poll_resting;
using halvane::avatar::RestingPoll;

// Answers from fixed facts and notes each question: m(odel) o(utput size)
// p(oll) g(eometry).
struct Probe {
  bool loaded, sized, polled;
  std::optional<Geometry> geo;
  std::string asked;
  bool model_loaded() { return note('m', loaded); }
  bool output_size() { return note('o', sized); }
  bool poll() { return note('p', polled); }
  std::optional<Geometry> geometry() {
    asked += 'g';
    return geo;
  }
  bool note(char c, bool v) {
    asked += c;
    return v;
  }
};

TEST(FirstFrame, EachAnswerAndWhatItAsked) {
  const std::optional<Geometry> unreadable;
  struct Row {
    const char* what;
    bool loaded, sized, polled;
    std::optional<Geometry> geo;
    FirstFrame want;
    const char* asked;
  } rows[] = {
      {"no model", false, true, true, Geometry{true, true}, FirstFrame::no_model, "m"},
      {"output size: never polls", true, true, true, Geometry{true, true}, FirstFrame::output_size, "mo"},
      {"resting picture", true, false, true, unreadable, FirstFrame::polled, "mop"},
      {"model's own size", true, false, false, Geometry{true, true}, FirstFrame::geometry, "mopg"},
      {"size unreadable", true, false, false, unreadable, FirstFrame::no_size, "mopg"},
      {"zero width", true, false, false, Geometry{false, true}, FirstFrame::bad_size, "mopg"},
      {"negative height", true, false, false, Geometry{true, false}, FirstFrame::bad_size, "mopg"},
      {"neither side", true, false, false, Geometry{false, false}, FirstFrame::bad_size, "mopg"},
  };
  for (const Row& r : rows) {
    Probe p{r.loaded, r.sized, r.polled, r.geo, {}};
    EXPECT_EQ(first_frame(p), r.want) << r.what;
    EXPECT_EQ(p.asked, r.asked) << r.what;
  }
}

TEST(RestingPoll, PollsUntilTheDeadlineAtLeastOnce) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Row {
    double timeout, after;  // seconds from the start to the check after a poll
    bool again;
  } rows[] = {
      {2.0, 0.0, true},    {2.0, 1.999, true},  {2.0, 2.0, false}, {2.0, 3.0, false},
      {0.0, 0.0, false},   {-5.0, 0.0, false},  {nan, 0.0, false},  // one poll only
      {inf, 1e9, true},
  };
  for (const Row& r : rows) {
    const RestingPoll poll(100.0, r.timeout);
    EXPECT_EQ(poll.again(100.0 + r.after), r.again) << r.timeout << " " << r.after;
  }
}

// A runtime whose picture comes at the `comes`-th poll (0: never), on a clock
// that each sleep moves by `step`; notes p(oll) n(ow) s(leep).
struct Resting {
  int comes = 0;
  double step = 0.0, clock = 100.0;
  int polls = 0;
  std::string asked;
  bool poll() {
    asked += 'p';
    return ++polls == comes;
  }
  double now() {
    asked += 'n';
    return clock;
  }
  void sleep() {
    asked += 's';
    clock += step;
  }
};

TEST(PollResting, PollsSleepsAndGivesUpOnTime) {
  struct Row {
    const char* what;
    double timeout, step;
    int comes;
    bool got;
    const char* asked;
  } rows[] = {
      {"at the first poll: the clock is not read", 1.0, 0.4, 1, true, "p"},
      {"at the third poll", 1.0, 0.4, 3, true, "pnspnsp"},
      {"never: the poll at the deadline is the last", 1.0, 0.5, 0, false, "pnspnspn"},
      {"never, no time at all: one poll", 0.0, 0.5, 0, false, "pn"},
      {"never, a negative wait: one poll", -1.0, 0.5, 0, false, "pn"},
      {"just in time", 1.0, 0.5, 3, true, "pnspnsp"},
  };
  for (const Row& r : rows) {
    Resting probe;
    probe.comes = r.comes;
    probe.step = r.step;
    EXPECT_EQ(poll_resting(probe, RestingPoll(100.0, r.timeout)), r.got) << r.what;
    EXPECT_EQ(probe.asked, r.asked) << r.what;
  }
}

}  // namespace
