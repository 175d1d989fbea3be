// The output iterator's decisions: how it gets its next item from the queue
// and the session's tasks, when the stream has ended, when the playout queue
// is sealed, what it does with each kind of item in each mode, when an end
// of the stream is stale, and the pictures it holds back until they are due.
#include "avatar/output.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <set>
#include <optional>
#include <string>
#include <utility>

namespace {

using halvane::avatar::after_wait;
using halvane::avatar::end_is_stale;
using halvane::avatar::OutAction;
using halvane::avatar::output_action;
using halvane::avatar::PendingPictures;
using halvane::avatar::queued_source;
using halvane::avatar::Read;
using halvane::avatar::Seal;
using halvane::avatar::seal_playout;
using halvane::avatar::SessionTasks;
using halvane::avatar::SinkRead;
using halvane::avatar::step_action;
using halvane::avatar::task_state;
using halvane::avatar::TaskState;
using halvane::avatar::wait_plan;

// What an item is; the view below answers from it and notes each question.
struct OutItem {
  bool stream_end, failure, frame, picture, audio;
};
struct View {
  OutItem it;
  mutable std::string asked;  // e(nd) f(ailure) F(rame) P(icture) A(udio), in order
  bool stream_end() const { return note('e', it.stream_end); }
  bool failure() const { return note('f', it.failure); }
  bool frame() const { return note('F', it.frame); }
  bool picture() const { return note('P', it.picture); }
  bool audio() const { return note('A', it.audio); }
  bool note(char c, bool v) const {
    asked += c;
    return v;
  }
};

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
    const char* asked;
  } rows[] = {
      {"end", kEnd, false, false, false, OutAction::finish, "e"},
      {"stale end", kEnd, false, false, true, OutAction::skip, "e"},
      {"end across an interrupt", kEnd, true, true, false, OutAction::finish, "e"},
      {"failure", kFailure, false, false, false, OutAction::raise, "ef"},
      {"failure across an interrupt", kFailure, true, true, false, OutAction::raise, "ef"},
      {"frame, plain mode", kFull, false, false, false, OutAction::pass, "ef"},
      {"frame, synchronised", kFull, true, false, false, OutAction::split, "efFPA"},
      // the frame's fields are read before the interrupt is looked at
      {"frame across an interrupt", kFull, true, true, false, OutAction::drop, "efFPA"},
      {"marker across an interrupt", kMarker, false, true, false, OutAction::drop, "ef"},
      {"voice only, synchronised", kVoiceOnly, true, false, false, OutAction::pass, "efFP"},
      {"picture only, synchronised", kPictureOnly, true, false, false, OutAction::pass, "efFPA"},
      {"marker, synchronised", kMarker, true, false, false, OutAction::pass, "efFP"},
      {"other object, synchronised", kOther, true, false, false, OutAction::pass, "efF"},
  };
  for (const Row& r : rows) {
    int asked = 0;
    View v{r.item, {}};
    OutAction got = output_action(v, r.reader, r.interrupted, [&] {
      ++asked;
      return r.stale;
    });
    EXPECT_EQ(got, r.want) << r.what;
    EXPECT_EQ(asked, r.item.stream_end ? 1 : 0) << r.what;  // the tasks are looked at for an end only
    EXPECT_EQ(v.asked, r.asked) << r.what;
  }
}

TEST(StepAction, OnlyAnItemIsLookedAt) {
  struct Row {
    Read read;
    OutAction want;
    const char* asked;
  } rows[] = {
      {Read::nothing, OutAction::idle, ""},
      {Read::ended, OutAction::finish, ""},
      {Read::failed, OutAction::finish, ""},  // a failure, if any, was raised before
      {Read::item, OutAction::split, "efFPA"},
  };
  for (const Row& r : rows) {
    View v{kFull, {}};
    bool stale_asked = false;
    EXPECT_EQ(step_action(r.read, v, true, false, [&] { return stale_asked = true; }), r.want);
    EXPECT_EQ(v.asked, r.asked);
    EXPECT_FALSE(stale_asked);
  }
}

TEST(TaskState, EachQuestionOnlyWhenItCanBeAsked) {
  struct Probe {
    bool set, finished, was_cancelled;
    std::string asked;  // d(one) c(ancelled)
    bool exists() const { return set; }
    bool done() {
      asked += 'd';
      return finished;
    }
    bool cancelled() {
      asked += 'c';
      return was_cancelled;
    }
  };
  struct Row {
    const char* what;
    Probe probe;
    TaskState state;
    const char* asked;
  } rows[] = {
      {"not set", {false, true, true, {}}, {}, ""},
      {"running", {true, false, true, {}}, {true, false, false}, "d"},
      {"returned", {true, true, false, {}}, {true, true, false}, "dc"},
      {"cancelled", {true, true, true, {}}, {true, true, true}, "dc"},
  };
  for (Row& r : rows) {
    const TaskState got = task_state(r.probe);
    EXPECT_EQ(got.exists, r.state.exists) << r.what;
    EXPECT_EQ(got.done, r.state.done) << r.what;
    EXPECT_EQ(got.cancelled, r.state.cancelled) << r.what;
    EXPECT_EQ(r.probe.asked, r.asked) << r.what;
  }
}

TEST(EndIsStale, MoreQueuedOrALiveFeederOfARunningSession) {
  struct Row {
    bool queue_empty, running, feeder_alive, stale;
  } rows[] = {
      {false, false, false, true},  // more queued, whatever the session
      {true, true, true, true},     // a live feeder of a running session
      {true, true, false, false},   {true, false, true, false},
  };
  for (const Row& r : rows)
    EXPECT_EQ(end_is_stale(r.queue_empty, r.running, r.feeder_alive), r.stale)
        << r.queue_empty << r.running << r.feeder_alive;
}

// --- the session's tasks ---

constexpr TaskState kNone{};
constexpr TaskState kRunning{true, false, false};
constexpr TaskState kReturned{true, true, false};
constexpr TaskState kCancelled{true, true, true};

TEST(SealPlayout, ADeadProducerBehindARunningClockOnce) {
  struct Row {
    const char* what;
    TaskState clock, producer;
    bool sealed, playout;
    Seal want;
  } rows[] = {
      {"producer returned", kRunning, kReturned, false, true, Seal::failure_then_end},
      {"producer cancelled: no failure to ask", kRunning, kCancelled, false, true, Seal::end},
      {"already sealed", kRunning, kReturned, true, true, Seal::none},
      {"producer runs", kRunning, kRunning, false, true, Seal::none},
      {"no producer", kRunning, kNone, false, true, Seal::none},
      {"no clock", kNone, kReturned, false, true, Seal::none},
      {"clock ended too", kReturned, kReturned, false, true, Seal::none},
      {"no playout queue", kRunning, kReturned, false, false, Seal::none},
  };
  for (const Row& r : rows) EXPECT_EQ(seal_playout({r.clock, r.producer, r.sealed, r.playout}), r.want) << r.what;
}

TEST(ReadStep, WhatTheWaitWaitsOn) {
  struct Row {
    const char* what;
    TaskState clock, producer;
    bool sealed, queued, read_done;
    bool wait, on_feeder, on_producer;
  } rows[] = {
      {"producer feeds", kNone, kRunning, false, false, false, true, true, false},
      {"clock feeds, producer runs", kRunning, kRunning, false, false, false, true, true, true},
      {"clock feeds, producer ended", kRunning, kReturned, false, false, false, true, true, false},
      {"clock feeds, producer sealed", kRunning, kRunning, true, false, false, true, true, false},
      {"clock ended, producer runs", kReturned, kRunning, false, false, false, false, false, true},
      {"clock ended, something queued", kReturned, kRunning, false, true, false, true, false, true},
      {"no feeder left, read done", kNone, kReturned, false, false, true, true, false, false},
      {"no feeder left, nothing queued", kNone, kCancelled, false, false, false, false, false, false},
  };
  for (const Row& r : rows) {
    const auto p = wait_plan({r.clock, r.producer, r.sealed, true}, r.queued, r.read_done);
    EXPECT_EQ(p.wait, r.wait) << r.what;
    EXPECT_EQ(p.on_feeder, r.on_feeder) << r.what;
    EXPECT_EQ(p.on_producer, r.on_producer) << r.what;
  }
}

TEST(ReadStep, AfterTheWait) {
  struct Row {
    const char* what;
    bool read_done;
    TaskState clock, producer;
    bool queue_empty;
    Read want;
  } rows[] = {
      {"read done", true, kNone, kReturned, true, Read::item},
      {"feeder runs", false, kNone, kRunning, true, Read::nothing},
      {"feeder gone, more queued", false, kNone, kReturned, false, Read::nothing},
      {"producer returned", false, kNone, kReturned, true, Read::failed},
      {"producer cancelled", false, kNone, kCancelled, true, Read::ended},
      {"no feeder ever", false, kNone, kNone, true, Read::ended},
      // with a clock, the clock is what feeds: a dead producer alone ends nothing
      {"clock runs, producer dead", false, kRunning, kReturned, true, Read::nothing},
      {"clock returned", false, kReturned, kRunning, true, Read::failed},
      {"clock cancelled", false, kCancelled, kRunning, true, Read::ended},
  };
  for (const Row& r : rows)
    EXPECT_EQ(after_wait(
                  r.read_done, [&] { return SessionTasks{r.clock, r.producer, false, true}; },
                  [&] { return r.queue_empty; }),
              r.want)
        << r.what;
}

// --- the pending pictures ---

// A store as the session keeps it, shared with the test so that it can be
// changed behind the queue's back (as interrupt() clears it).
struct Store {
  using Picture = std::string;
  std::deque<std::pair<double, std::string>>* q;
  bool empty() const { return q->empty(); }
  double front_due() const { return q->front().first; }
  std::pair<double, std::string> pop_front() {
    auto head = q->front();
    q->pop_front();
    return head;
  }
  void push_back(double due, std::string p) { q->emplace_back(due, std::move(p)); }
};

TEST(PendingPictures, ReleasedInOrderWhenDue) {
  std::deque<std::pair<double, std::string>> q;
  PendingPictures<Store> pend(Store{&q});
  EXPECT_EQ(pend.release_due(100.0), std::nullopt);
  EXPECT_EQ(pend.wait_s(100.0), std::nullopt);
  pend.hold(10.5, "p0");
  pend.hold(10.25, "p1");  // due earlier, but held behind p0
  pend.hold(11.0, "p2");
  struct Step {
    double now;
    std::optional<std::string> released;
    std::optional<double> wait;  // after the release
  } steps[] = {
      {10.0, std::nullopt, 0.5},  {10.3, std::nullopt, 0.2}, {10.5, "p0", 0.0},  // p1 overdue: at once
      {10.5, "p1", 0.5},          {10.9, std::nullopt, 0.1}, {11.5, "p2", std::nullopt},
      {12.0, std::nullopt, std::nullopt},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(pend.release_due(s.now), s.released) << s.now;
    const auto w = pend.wait_s(s.now);
    ASSERT_EQ(w.has_value(), s.wait.has_value()) << s.now;
    if (w) {
      EXPECT_NEAR(*w, *s.wait, 1e-12) << s.now;
    }
  }
}

TEST(PendingPictures, TheStoreIsReadAfreshAndTakenForTheEnd) {
  std::deque<std::pair<double, std::string>> q;
  PendingPictures<Store> pend(Store{&q});
  pend.hold(5.0, "p0");
  q.clear();  // interrupted
  EXPECT_EQ(pend.release_due(9.0), std::nullopt);
  q.emplace_back(3.0, "x");  // put there by someone else
  pend.hold(8.0, "p1");
  // The end takes them whether due or not, each with its own time.
  const auto a = pend.take();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->picture, "x");
  EXPECT_EQ(PendingPictures<Store>::until(a->due, 4.0), 0.0);
  const auto b = pend.take();
  ASSERT_TRUE(b);
  EXPECT_EQ(b->picture, "p1");
  EXPECT_DOUBLE_EQ(PendingPictures<Store>::until(b->due, 4.0), 4.0);
  EXPECT_EQ(pend.take(), std::nullopt);
  EXPECT_TRUE(q.empty());
}

// --- sync_to()'s sink ---

// Objects by name: which are callable, which answer queued_duration, and
// the links set on each; every question is noted.
struct Graph {
  std::set<std::string> callables, queued;
  std::map<std::pair<std::string, std::string>, std::string> links;
  std::string asked;
  bool callable(const std::string& o) {
    asked += "c:" + o + " ";
    return callables.count(o) > 0;
  }
  bool has_queued_duration(const std::string& o) {
    asked += "q:" + o + " ";
    return queued.count(o) > 0;
  }
  std::optional<std::string> link(const std::string& o, const char* name) {
    auto it = links.find({o, name});
    if (it == links.end()) return std::nullopt;
    return it->second;
  }
};

TEST(QueuedSource, FollowsTheSetLinksToWhatAnswers) {
  const std::map<std::pair<std::string, std::string>, std::string> chain = {
      {{"session", "_avatar_runner"}, "runner"}, {{"runner", "av_sync"}, "sync"}, {{"sync", "_audio_source"}, "src"},
      {{"partial", "av_sync"}, "sync"}};  // a session whose runner is not set
  struct Row {
    const char* what;
    std::string sink;
    std::set<std::string> callables, queued;
    SinkRead how;
    std::string source, asked;
  } rows[] = {
      {"audio source", "src", {}, {"src"}, SinkRead::attribute, "src", "c:src q:src "},
      {"synchroniser", "sync", {}, {"src"}, SinkRead::attribute, "src", "c:sync q:src "},
      {"plugin session", "session", {}, {"src"}, SinkRead::attribute, "src", "c:session q:src "},
      {"unset link skipped", "partial", {}, {"src"}, SinkRead::attribute, "src", "c:partial q:src "},
      // a callable that answers queued_duration is read, not called
      {"callable source", "src", {"src"}, {"src"}, SinkRead::attribute, "src", "c:src q:src q:src "},
      {"function", "fn", {"fn"}, {}, SinkRead::call, "fn", "c:fn q:fn "},
      {"runner without source", "session", {}, {}, SinkRead::unusable, "session", "c:session q:src "},
      {"unrelated object", "other", {}, {}, SinkRead::unusable, "other", "c:other q:other "},
  };
  for (const Row& r : rows) {
    Graph g{r.callables, r.queued, chain, {}};
    const auto found = queued_source(r.sink, g);
    EXPECT_EQ(found.how, r.how) << r.what;
    EXPECT_EQ(found.source, r.source) << r.what;
    EXPECT_EQ(g.asked, r.asked) << r.what;
  }
}

}  // namespace
