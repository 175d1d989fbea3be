// The session engine's gate, deadline and texts.
#include "open/session_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "open/messages.h"

namespace {

using halvane::open::Gate;

TEST(QuietDeadlineReason, RoundsHalfToEven) {
  struct Case {
    double quiet;
    const char* text;
  } cases[] = {{10, "quiet-deadline (10s with no frame)"}, {2.5, "quiet-deadline (2s with no frame)"},
               {3.5, "quiet-deadline (4s with no frame)"}, {0.2, "quiet-deadline (0s with no frame)"},
               {-1.5, "quiet-deadline (-2s with no frame)"},
               {std::numeric_limits<double>::infinity(), "quiet-deadline (infs with no frame)"}};
  for (const Case& c : cases) EXPECT_EQ(halvane::open::quiet_deadline_reason(c.quiet), c.text) << c.quiet;
}

TEST(SpeechGate, DropsUntilSpeechThenEndsAtRestAfterTheAudio) {
  halvane::open::SpeechGate g;
  EXPECT_EQ(g.pushed(false), Gate::discard);
  EXPECT_EQ(g.drained(false, true, false), Gate::discard);
  EXPECT_EQ(g.drained(false, true, true), Gate::end_without_speech);
  EXPECT_FALSE(g.speaking());
  EXPECT_EQ(g.pushed(true), Gate::hand_out);
  EXPECT_EQ(g.pushed(false), Gate::hand_out);  // rest while pushing ends nothing
  EXPECT_EQ(g.drained(false, false, true), Gate::hand_out);
  EXPECT_EQ(g.drained(false, true, false), Gate::end_at_rest);
  halvane::open::SpeechGate late;
  EXPECT_EQ(late.drained(true, false, true), Gate::hand_out);  // speech past the deadline still counts
  EXPECT_TRUE(late.speaking());
}

TEST(QuietDeadline, StrictlyLater) {
  halvane::open::QuietDeadline d;
  d.renew(100.0, 2.5);
  EXPECT_FALSE(d.passed(102.5));
  EXPECT_TRUE(d.passed(102.5000001));
  EXPECT_TRUE(halvane::open::usable_quiet(0.0));
  for (double q : {std::nan(""), HUGE_VAL, -HUGE_VAL}) EXPECT_FALSE(halvane::open::usable_quiet(q)) << q;
}

}  // namespace
