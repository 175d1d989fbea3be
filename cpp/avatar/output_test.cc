// The output iterator's decisions: what it does with each kind of item in
// each mode, when an end of the stream is stale, and how long it waits for
// the next pending picture.
#include "avatar/output.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using halvane::avatar::end_is_stale;
using halvane::avatar::OutAction;
using halvane::avatar::OutItem;
using halvane::avatar::output_action;
using halvane::avatar::pend_wait_s;

const OutItem kEnd{true, false, false, false, false};
const OutItem kFailure{false, true, false, false, false};
const OutItem kFull{false, false, true, true, true};        // picture and voice
const OutItem kVoiceOnly{false, false, true, false, true};  // e.g. a streaming idle tick without picture
const OutItem kPictureOnly{false, false, true, true, false};
const OutItem kMarker{false, false, true, false, false};  // end of speech
const OutItem kOther{};                                   // anything a producer put that is no record

TEST(OutputAction, EachItemInEachMode) {
  struct Row {
    const char* what;
    OutItem item;
    bool reader, interrupted, stale;
    OutAction want;
  } rows[] = {
      {"end", kEnd, false, false, false, OutAction::finish},
      {"stale end", kEnd, false, false, true, OutAction::skip},
      {"end across an interrupt", kEnd, true, true, false, OutAction::finish},
      {"failure", kFailure, false, false, false, OutAction::raise},
      {"failure across an interrupt", kFailure, true, true, false, OutAction::raise},
      {"frame, plain mode", kFull, false, false, false, OutAction::pass},
      {"frame, synchronised", kFull, true, false, false, OutAction::split},
      {"frame across an interrupt", kFull, true, true, false, OutAction::drop},
      {"marker across an interrupt", kMarker, false, true, false, OutAction::drop},
      {"voice only, synchronised", kVoiceOnly, true, false, false, OutAction::pass},
      {"picture only, synchronised", kPictureOnly, true, false, false, OutAction::pass},
      {"marker, synchronised", kMarker, true, false, false, OutAction::pass},
      {"other object, synchronised", kOther, true, false, false, OutAction::pass},
  };
  for (const Row& r : rows) {
    int asked = 0;
    OutAction got = output_action(r.item, r.reader, r.interrupted, [&] {
      ++asked;
      return r.stale;
    });
    EXPECT_EQ(got, r.want) << r.what;
    EXPECT_EQ(asked, r.item.stream_end ? 1 : 0) << r.what;  // the tasks are looked at for an end only
  }
}

TEST(EndIsStale, MoreQueuedOrALiveFeederOfARunningSession) {
  struct Row {
    bool queue_empty, running, feeder_alive, stale;
  } rows[] = {
      {false, false, false, true}, {false, true, true, true},   {true, true, true, true},
      {true, true, false, false},  {true, false, true, false},  {true, false, false, false},
  };
  for (const Row& r : rows)
    EXPECT_EQ(end_is_stale(r.queue_empty, r.running, r.feeder_alive), r.stale)
        << r.queue_empty << r.running << r.feeder_alive;
}

TEST(PendWait, UntilTheOldestPictureIsDue) {
  EXPECT_EQ(pend_wait_s(std::nullopt, 5.0), std::nullopt);
  EXPECT_DOUBLE_EQ(*pend_wait_s(5.25, 5.0), 0.25);
  EXPECT_EQ(*pend_wait_s(5.0, 5.0), 0.0);
  EXPECT_EQ(*pend_wait_s(4.0, 5.0), 0.0);  // overdue: at once, never negative
}

}  // namespace
