// The producer's utterance decisions: how an utterance opens, which control
// closes it, its tail on each kind of stream, and the end-of-speech marker.
#include "avatar/utterance.h"

#include <gtest/gtest.h>

namespace {

using halvane::avatar::closes_utterance;
using halvane::avatar::end_marker;
using halvane::avatar::open_action;
using halvane::avatar::OpenAction;
using halvane::avatar::plan_tail;
using halvane::avatar::TailOutcome;
using halvane::avatar::TailPads;
using halvane::avatar::TailPlan;

TEST(OpenAction, FreshUnlessTheRuntimeIsCleanAndTheProducers) {
  struct Row {
    bool replaced;
    int64_t buffered, emitted;
    bool streaming;
    OpenAction want;
  } rows[] = {
      {false, 0, 0, true, OpenAction::reset_stream}, {false, 0, 0, false, OpenAction::keep},
      {true, 0, 0, true, OpenAction::fresh},         {true, 0, 0, false, OpenAction::fresh},
      {false, 1, 0, true, OpenAction::fresh},        {false, 0, 1, false, OpenAction::fresh},
  };
  for (const Row& r : rows)
    EXPECT_EQ(open_action(r.replaced, r.buffered, r.emitted, r.streaming), r.want)
        << r.replaced << " " << r.buffered << " " << r.emitted << " " << r.streaming;
}

TEST(ClosesUtterance, EndOfSpeechOrTheLastChunkOfAudio) {
  EXPECT_TRUE(closes_utterance(true, false, false));
  EXPECT_TRUE(closes_utterance(false, true, true));
  EXPECT_FALSE(closes_utterance(false, true, false));
  EXPECT_FALSE(closes_utterance(false, false, true));  // no audio: its last-chunk flag means nothing
}

TEST(PlanTail, PadAndLengthOnEachKindOfStream) {
  const TailPads pads{8, 3, 16};
  const int64_t spt = 800;
  struct Row {
    const char* what;
    int64_t n_samples, emitted;
    bool streaming, v2;
    int64_t remaining, pad, target_len, tail_total;
  } rows[] = {
      // 10.5 ticks buffered, 7 out: 4 remain (the partial tick counts).
      {"streaming", 8400, 7, true, false, 4, 8, (7 + 4 + 8) * spt, 11},
      {"composed", 8400, 7, false, false, 4, 3, (7 + 4 + 3) * spt, 11},
      {"v2 streaming", 8400, 7, true, true, 4, 16, (7 + 4 + 16) * spt, 11},
      {"v2 composed", 8400, 7, false, true, 4, 16, (7 + 4 + 16) * spt, 11},
      {"everything out", 8000, 10, true, true, 0, 0, 0, 0},
      {"more out than buffered", 800, 3, true, false, 0, 0, 0, 0},
  };
  for (const Row& r : rows) {
    int asked = 0;
    TailPlan p = plan_tail(r.n_samples, spt, r.emitted, r.streaming, [&] {
      ++asked;
      return r.v2;
    }, pads);
    EXPECT_EQ(p.remaining, r.remaining) << r.what;
    EXPECT_EQ(p.pad, r.pad) << r.what;
    EXPECT_EQ(p.target_len, r.target_len) << r.what;
    EXPECT_EQ(p.tail_total, r.tail_total) << r.what;
    EXPECT_EQ(p.v2, r.remaining > 0 && r.v2) << r.what;
    EXPECT_EQ(asked, r.remaining > 0 ? 1 : 0) << r.what;  // the stream kind matters only for a tail
  }
}

TEST(EndMarker, AfterNoTailADrainOrAnEmptyStreamingTail) {
  struct Row {
    const char* what;
    TailOutcome t;
    bool want;
  } rows[] = {
      {"no tail", {false, false, true, 0, false, false}, true},
      {"no tail, stopped", {false, false, true, 0, true, false}, true},
      {"no tail, interrupted", {false, false, true, 0, true, true}, false},
      {"v2 drain", {true, true, true, 5, false, false}, true},
      {"v2 drain cut short by stop", {true, true, true, 0, true, false}, true},
      {"v2 drain, interrupted", {true, true, true, 0, true, true}, false},
      {"streaming tail with frames", {true, false, true, 4, false, false}, false},
      {"streaming tail, nothing ready", {true, false, true, 0, false, false}, true},
      {"streaming tail, nothing ready, stopped", {true, false, true, 0, true, false}, false},
      {"composed tail", {true, false, false, 4, false, false}, false},
      {"composed tail, nothing out", {true, false, false, 0, false, false}, false},
  };
  for (const Row& r : rows) EXPECT_EQ(end_marker(r.t), r.want) << r.what;
}

}  // namespace
