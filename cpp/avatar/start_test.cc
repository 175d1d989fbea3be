// The iterator's start: what it refuses, what it leaves alone, and what it
// clears and starts, in order.
#include "avatar/start.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using halvane::avatar::Start;
using halvane::avatar::start_session;

// A session in a given state that writes down what is done to it.
struct Fake {
  bool fixture, runtime, is_running, stop_left, z2;
  std::string done;
  bool has_fixture() const { return fixture; }
  bool has_runtime() const { return runtime; }
  bool running() const { return is_running; }
  bool stop_control_left() { return done += "stop? ", stop_left; }
  bool zephan2_stream() { return done += "z2? ", z2; }
  void drop_stream_ends() { done += "ends "; }
  void drop_stop_control() { done += "stop-control "; }
  void mark_running() { done += "running "; }
  void start_clock() { done += "clock "; }
  void start_producer() { done += "producer "; }
};

TEST(Start, RefusedIdleOrStartedInOrder) {
  struct Row {
    const char* what;
    Fake s;
    Start want;
    const char* done;
  } rows[] = {
      {"no fixture", {false, true, false, false, false, {}}, Start::not_ready, ""},
      {"no runtime", {true, false, true, false, false, {}}, Start::not_ready, ""},
      {"already running", {true, true, true, true, true, {}}, Start::running, ""},
      {"composed", {true, true, false, false, false, {}}, Start::started, "ends stop? running z2? producer "},
      {"zephan-2 after a stop", {true, true, false, true, true, {}}, Start::started,
       "ends stop? stop-control running z2? clock producer "},
  };
  for (Row& r : rows) {
    EXPECT_EQ(start_session(r.s), r.want) << r.what;
    EXPECT_EQ(r.s.done, r.done) << r.what;
  }
}

}  // namespace
