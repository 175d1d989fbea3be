// The release time of a picture in the playback-synchronised mode.
#include "avatar/sync.h"

#include <gtest/gtest.h>

#include <limits>

#include "common/errors.h"

namespace {

using halvane::avatar::picture_release_time;
using halvane::avatar::queued_seconds;

TEST(QueuedSeconds, UnusableReadingsCountAsNone) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double reading, want;
  } cases[] = {{1.0, 1.0}, {0.25, 0.25}, {0.0, 0.0}, {-0.0, 0.0}, {-3.0, 0.0},
               {inf, 0.0}, {-inf, 0.0},  {nan, 0.0}, {1e9, 1e9}};
  for (const Case& c : cases) EXPECT_EQ(queued_seconds(c.reading), c.want) << c.reading;
}

TEST(PictureReleaseTime, VoiceAtTheEndOfWhatTheSinkHolds) {
  // One second queued, 800 samples at 16 kHz (0.05 s) of voice, 25 ms lead.
  EXPECT_NEAR(picture_release_time(100.0, 1.0, 800, 16000.0, 0.025), 100.925, 1e-12);
  // Exactly its own voice queued: due one lead before now.
  EXPECT_NEAR(picture_release_time(100.0, 0.05, 800, 16000.0, 0.025), 99.975, 1e-12);
  // Less than its own voice queued (the sink already plays it): never later
  // than now minus the lead.
  EXPECT_NEAR(picture_release_time(100.0, 0.01, 800, 16000.0, 0.025), 99.975, 1e-12);
  EXPECT_NEAR(picture_release_time(100.0, 0.0, 0, 16000.0, 0.025), 99.975, 1e-12);
  // Other rates: 441 samples at 44.1 kHz are 10 ms.
  EXPECT_NEAR(picture_release_time(5.0, 0.5, 441, 44100.0, 0.0), 5.49, 1e-12);
}

TEST(PictureReleaseTime, ZeroRateRaises) {
  EXPECT_THROW(picture_release_time(0.0, 1.0, 800, 0.0, 0.025), halvane::ZeroDivisionError);
}

}  // namespace
