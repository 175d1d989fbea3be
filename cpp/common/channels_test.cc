// Which axis of an audio array holds its channels (their mean is tested
// through the offline intake's mix, open/intake_test.cc).
#include "common/channels.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

TEST(ChannelAxis, ShortAxisBesideALongOneHoldsTheChannels) {
  using A = halvane::ChannelAxis;
  const std::pair<std::vector<ptrdiff_t>, A> rows[] = {
      {{5}, A::none},       {{1, 4}, A::none},    {{20, 1}, A::none},   {{0, 2}, A::none},
      {{2, 20}, A::rows},   {{8, 9}, A::rows},    {{9, 8}, A::columns}, {{16000, 2}, A::columns},
      {{2, 2}, A::unclear}, {{8, 8}, A::unclear}, {{9, 9}, A::unclear}, {{20, 2, 1}, A::unclear},
  };
  for (const auto& [shape, want] : rows)
    EXPECT_EQ(halvane::channel_axis(shape), want) << shape[0] << " x " << (shape.size() > 1 ? shape[1] : 0);
}
