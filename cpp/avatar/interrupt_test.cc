// Barge-in: nothing on a stopped session; on a running one, what goes and
// what is reset, in order, with and without a playout clock.
#include "avatar/interrupt.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using halvane::avatar::interrupt_session;

struct Fake {
  bool is_running, playout;
  std::string done;
  bool running() { return done += "running? ", is_running; }
  bool has_playout() { return done += "playout? ", playout; }
  void drop_input() { done += "input "; }
  void drop_output() { done += "output "; }
  void drop_held_pictures() { done += "held "; }
  void drop_playout() { done += "playout "; }
  void reset_playout() { done += "reset "; }
  void forget_arrival() { done += "arrival "; }
  void forget_first_push() { done += "first-push "; }
  void count() { done += "count "; }
  void raise_flag() { done += "flag "; }
};

TEST(Interrupt, WhatGoesAndWhatIsResetInOrder) {
  struct Row {
    const char* what;
    Fake s;
    bool ran;
    const char* done;
  } rows[] = {
      {"stopped", {false, true, {}}, false, "running? "},
      {"composed", {true, false, {}}, true, "running? input output held playout? count flag "},
      {"zephan-2", {true, true, {}}, true,
       "running? input output held playout? playout reset arrival first-push count flag "},
  };
  for (Row& r : rows) {
    EXPECT_EQ(interrupt_session(r.s), r.ran) << r.what;
    EXPECT_EQ(r.s.done, r.done) << r.what;
  }
}

}  // namespace
