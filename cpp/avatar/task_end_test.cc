// How the producer and the playout clock end their run: what goes out and
// what is raised again, for each way the run can end and for a hand-over of
// the failure that raises itself.
#include "avatar/task_end.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using halvane::avatar::RunEnd;
using halvane::avatar::SessionTask;
using halvane::avatar::task_end;
using halvane::avatar::TaskEnd;

// The effects a plan asks for, in the order the task drivers perform them;
// handing the failure on raises when `forward_raises`.
std::vector<std::string> perform(SessionTask task, RunEnd run, bool forward_raises) {
  std::vector<std::string> done;
  TaskEnd e = task_end(task, run);
  if (e.stop_session) done.push_back("stop");
  if (e.forward_failure) {
    done.push_back("failure");
    if (forward_raises) e = e.forward_raised();
  }
  if (e.stream_end == TaskEnd::StreamEnd::awaited) done.push_back("end");
  if (e.stream_end == TaskEnd::StreamEnd::without_wait) done.push_back("end-nowait");
  if (e.reraise) done.push_back("raise");
  return done;
}

struct Row {
  SessionTask task;
  RunEnd run;
  bool forward_raises;
  std::vector<std::string> effects;
  bool quiet_end;
};

TEST(TaskEnd, WhatEachEndPutsOutAndRaises) {
  const SessionTask P = SessionTask::producer, C = SessionTask::playout_clock;
  const Row rows[] = {
      // The producer always ends the output; cancelled, without waiting.
      {P, RunEnd::returned, false, {"end"}, true},
      {P, RunEnd::failed, false, {"failure", "end"}, true},
      {P, RunEnd::cancelled, false, {"end-nowait", "raise"}, true},
      // A failure whose hand-over raises ends like a cancelled run.
      {P, RunEnd::failed, true, {"failure", "end-nowait", "raise"}, true},
      // The clock forwards the producer's end; its own failure stops the
      // session and ends the stream itself; cancelled, it just leaves.
      {C, RunEnd::returned, false, {}, false},
      {C, RunEnd::failed, false, {"stop", "failure", "end"}, false},
      {C, RunEnd::cancelled, false, {"raise"}, false},
      {C, RunEnd::failed, true, {"stop", "failure", "raise"}, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << "task " << static_cast<int>(r.task) << " run " << static_cast<int>(r.run)
                                      << " forward raises " << r.forward_raises);
    EXPECT_EQ(perform(r.task, r.run, r.forward_raises), r.effects);
    const TaskEnd e = task_end(r.task, r.run);
    EXPECT_EQ(e.drops_end_error(true), r.quiet_end);
  }
}

}  // namespace
