// How stop() ends each of its tasks in each state, what it asks of the task
// on the way, and what a wait does with the outcome of the task it waited for.
#include "avatar/teardown.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using halvane::avatar::cancels;
using halvane::avatar::ending;
using halvane::avatar::KeptCancel;
using halvane::avatar::running;
using halvane::avatar::Stopped;
using halvane::avatar::takes_failure;

// A task in a fixed state that notes each question: d(one) c(ancelled).
// exists() is no question a task answers (the caller holds it or not).
struct Task {
  bool set, finished, was_cancelled;
  std::string asked;
  bool exists() const { return set; }
  bool done() { return note('d', finished); }
  bool cancelled() { return note('c', was_cancelled); }
  bool note(char c, bool v) {
    asked += c;
    return v;
  }
};

TEST(Ending, WhetherStopCancelsAndWhatItAsked) {
  struct Row {
    const char* what;
    Stopped task;
    bool set, finished;
    bool cancel;
    const char* asked;
  } rows[] = {
      {"producer that ignored the stop (or the caller was cancelled)", Stopped::producer, true, false, true, "d"},
      {"drain that ended already: cancelled all the same", Stopped::drain, true, true, true, ""},
      {"clock that ended", Stopped::clock, true, true, false, "d"},
      {"no clock: nothing asked", Stopped::clock, false, false, false, ""},
  };
  for (const Row& r : rows) {
    Task t{r.set, r.finished, false, {}};
    EXPECT_EQ(cancels(ending(r.task), t), r.cancel) << r.what;
    EXPECT_EQ(t.asked, r.asked) << r.what;
  }
}

TEST(Teardown, RunningAndTheFailureAWaitTakes) {
  struct Row {
    const char* what;
    bool set, finished, was_cancelled;
    bool run;
    const char* run_asked;
    bool take;
    const char* take_asked;
  } rows[] = {
      {"still running", true, false, false, true, "d", false, "d"},
      {"ended by itself", true, true, false, false, "d", true, "dc"},
      {"ended by its cancel", true, true, true, false, "d", false, "dc"},
  };
  for (const Row& r : rows) {
    Task a{r.set, r.finished, r.was_cancelled, {}};
    EXPECT_EQ(running(a), r.run) << r.what;
    EXPECT_EQ(a.asked, r.run_asked) << r.what;
    Task b{r.set, r.finished, r.was_cancelled, {}};
    EXPECT_EQ(takes_failure(b), r.take) << r.what;
    EXPECT_EQ(b.asked, r.take_asked) << r.what;
  }
}

TEST(Teardown, OnlyTheFirstCancellationIsKept) {
  KeptCancel none;
  EXPECT_NO_THROW(none.raise());

  KeptCancel kept;
  kept.keep(std::make_exception_ptr(std::runtime_error("first")));
  kept.keep(std::make_exception_ptr(std::runtime_error("second")));
  for (int i = 0; i < 2; ++i) {  // raising does not forget it
    try {
      kept.raise();
      ADD_FAILURE() << "nothing raised";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "first");
    }
  }
}

}  // namespace
