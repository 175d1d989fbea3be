// The runs of input audio: which call opens a run, which end stamps its time,
// and what a forgotten run leaves behind, as scripts of calls at given times.
#include "avatar/arrival.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using halvane::avatar::ArrivalRun;

struct Call {
  char what;     // 'a': audio arrives, 'e': its input ends
  double at;     // monotonic seconds
  bool returns;  // note(): a new run opened; end(): the end time was stamped
};

struct RunRow {
  const char* name;
  ArrivalRun from;
  std::vector<Call> calls;
  ArrivalRun after;
};

class ArrivalRuns : public ::testing::TestWithParam<RunRow> {};

TEST_P(ArrivalRuns, ScriptOfCalls) {
  const RunRow& row = GetParam();
  ArrivalRun run = row.from;
  for (size_t i = 0; i < row.calls.size(); ++i) {
    const Call& c = row.calls[i];
    const bool got = c.what == 'a' ? run.note(c.at) : run.end(c.at);
    EXPECT_EQ(got, c.returns) << "call " << i;
  }
  EXPECT_EQ(run.t0, row.after.t0);
  EXPECT_EQ(run.done, row.after.done);
  EXPECT_EQ(run.t_end, row.after.t_end);
}

const std::optional<double> kNone;

INSTANTIATE_TEST_SUITE_P(
    Rows, ArrivalRuns,
    ::testing::Values(
        RunRow{"more_audio_stays_in_the_open_run", {}, {{'a', 1.0, true}, {'a', 2.0, false}}, {1.0, false, kNone}},
        RunRow{"only_the_first_end_is_stamped",
               {},
               {{'a', 1.0, true}, {'e', 2.0, true}, {'e', 3.0, false}},
               {1.0, true, 2.0}},
        RunRow{"audio_after_an_end_opens_the_next_run_and_the_end_time_stays",
               {},
               {{'a', 1.0, true}, {'e', 2.0, true}, {'a', 3.0, true}, {'a', 4.0, false}},
               {3.0, false, 2.0}},
        RunRow{"an_end_without_a_run_is_stamped_and_the_next_audio_opens_one",
               {},
               {{'e', 5.0, true}, {'a', 6.0, true}},
               {6.0, false, 5.0}},
        RunRow{"a_forgotten_run_is_opened_again_by_audio", {kNone, false, 2.0}, {{'a', 3.0, true}}, {3.0, false, 2.0}},
        RunRow{"the_end_of_a_forgotten_run_is_stamped_again", {kNone, false, 2.0}, {{'e', 3.0, true}}, {kNone, true, 3.0}}),
    [](const ::testing::TestParamInfo<RunRow>& info) { return std::string(info.param.name); });

}  // namespace
