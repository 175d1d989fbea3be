// The producer's decisions: how an utterance opens, which control closes
// it, its tail on each kind of stream, the end-of-speech marker, a pass's
// wait and idle frames, the producer's state through interrupts and
// utterances, and the hand-over of pictures to the playout clock.
#include "avatar/producer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace {

using halvane::avatar::end_marker;
using halvane::avatar::hand_over;
using halvane::avatar::HandOver;
using halvane::avatar::OpenAction;
using halvane::avatar::perform;
using halvane::avatar::picture_fits;
using halvane::avatar::plan_tail;
using halvane::avatar::Producer;
using halvane::avatar::Renewal;
using halvane::avatar::renewal;
using halvane::avatar::TailOutcome;
using halvane::avatar::TailPads;
using halvane::avatar::TailPlan;

TEST(PlanTail, PadAndLengthOnEachKindOfStream) {
  const TailPads pads{8, 3, 16};
  const int64_t spt = 800;
  struct Row {
    const char* what;
    int64_t n_samples, emitted;
    bool streaming, v2;
    int64_t remaining, target_len, tail_total;  // target_len: (emitted + remaining + pad) * spt
    bool extend;
    TailPads pads;
  } rows[] = {
      // 10.5 ticks buffered, 7 out: 4 remain (the partial tick counts).
      {"streaming", 8400, 7, true, false, 4, (7 + 4 + 8) * spt, 11, true, pads},
      {"composed", 8400, 7, false, false, 4, (7 + 4 + 3) * spt, 11, true, pads},
      {"v2 streaming", 8400, 7, true, true, 4, (7 + 4 + 16) * spt, 11, true, pads},
      {"v2 composed", 8400, 7, false, true, 4, (7 + 4 + 16) * spt, 11, true, pads},
      {"v2 streaming, stream pad above the v2 one", 8400, 7, true, true, 4, (7 + 4 + 20) * spt, 11, true, {20, 3, 16}},
      {"everything out", 8000, 10, true, true, 0, 0, 0, false, pads},
      {"more out than buffered", 800, 3, true, false, 0, 0, 0, false, pads},
  };
  for (const Row& r : rows) {
    int asked = 0;
    TailPlan p = plan_tail(r.n_samples, spt, r.emitted, r.streaming, [&] {
      ++asked;
      return r.v2;
    }, r.pads);
    EXPECT_EQ(p.remaining, r.remaining) << r.what;
    EXPECT_EQ(p.target_len, r.target_len) << r.what;
    EXPECT_EQ(p.tail_total, r.tail_total) << r.what;
    EXPECT_EQ(p.v2, r.remaining > 0 && r.v2) << r.what;
    EXPECT_EQ(p.extend, r.extend) << r.what;
    EXPECT_EQ(asked, r.remaining > 0 ? 1 : 0) << r.what;  // the stream kind matters only for a tail
  }
}

TEST(EndMarker, AfterNoTailADrainOrAnEmptyStreamingTail) {
  struct Row {
    const char* what;
    TailOutcome t;
    bool want;
  } rows[] = {
      {"no tail", {false, false, true, 0, false, false}, true},
      {"no tail, stopped", {false, false, true, 0, true, false}, true},
      {"no tail, interrupted", {false, false, true, 0, true, true}, false},
      {"v2 drain", {true, true, true, 5, false, false}, true},
      {"v2 drain cut short by stop", {true, true, true, 0, true, false}, true},
      {"v2 drain, interrupted", {true, true, true, 0, true, true}, false},
      {"streaming tail with frames", {true, false, true, 4, false, false}, false},
      {"streaming tail, nothing ready", {true, false, true, 0, false, false}, true},
      {"streaming tail, nothing ready, stopped", {true, false, true, 0, true, false}, false},
      {"composed tail", {true, false, false, 4, false, false}, false},
      {"composed tail, nothing out", {true, false, false, 0, false, false}, false},
  };
  for (const Row& r : rows) EXPECT_EQ(end_marker(r.t), r.want) << r.what;
}

TEST(PlanTail, AWholeBufferWithoutPadNeedsNoZeros) {
  TailPlan p = plan_tail(8000, 800, 7, false, [] { return false; }, TailPads{8, 0, 16});
  EXPECT_EQ(p.remaining, 3);
  EXPECT_EQ(p.target_len, 8000);
  EXPECT_FALSE(p.extend);
}

// A producer with an open utterance of `buffered` samples and `emitted`
// ticks out.
Producer with_utterance(bool streaming, int64_t buffered, int64_t emitted) {
  Producer p(800, streaming);
  p.take(false, true, false);
  p.appended(buffered);
  p.emitted(emitted);
  return p;
}

TEST(ProducerPass, StopRestartOrWaitAndTheIdleFrames) {
  struct Row {
    const char* what;
    bool streaming;
    int64_t buffered, emitted;
    bool stopped, interrupted, clock;
    Producer::Pass pass;
    bool idle;
  } rows[] = {
      {"idle stream", true, 0, 0, false, false, false, Producer::Pass::wait, true},
      {"stopped", true, 0, 0, true, true, false, Producer::Pass::stop, false},
      {"interrupted", true, 0, 0, false, true, false, Producer::Pass::restart, true},
      {"clock running", true, 0, 0, false, false, true, Producer::Pass::wait, false},
      {"composed", false, 0, 0, false, false, false, Producer::Pass::wait, false},
      // 3 whole ticks buffered: idle only once all three are out (the partial
      // fourth is not a tick yet).
      {"ticks waiting", true, 3 * 800 + 400, 2, false, false, false, Producer::Pass::wait, false},
      {"all whole ticks out", true, 3 * 800 + 400, 3, false, false, false, Producer::Pass::wait, true},
      // An interrupt drops what was buffered: idle again at once.
      {"ticks waiting, interrupted", true, 3 * 800, 0, false, true, false, Producer::Pass::restart, true},
  };
  for (const Row& r : rows) {
    Producer p = with_utterance(r.streaming, r.buffered, r.emitted);
    EXPECT_EQ(p.begin_pass(r.stopped, r.interrupted), r.pass) << r.what;
    EXPECT_EQ(p.idle_frame(r.stopped, r.clock), r.idle) << r.what;
    EXPECT_EQ(p.open(), r.pass != Producer::Pass::restart) << r.what;
  }
}

// What starts over, as perform() runs it: the steps named clear
// (interrupt), renew (runtime), reset (stream), forget, open, in order.
std::string steps(const Renewal& r) {
  struct Recorder {
    std::string out;
    void clear_interrupt() { out += "clear "; }
    void renew_runtime() { out += "renew "; }
    void reset_stream() { out += "reset "; }
    void forget() { out += "forget "; }
    void open() { out += "open "; }
  } rec;
  perform(r, rec);
  return rec.out;
}

TEST(ProducerRenewal, EveryStepInItsOrder) {
  Renewal all;
  all.clear_interrupt = all.renew_runtime = all.reset_stream = all.forget = all.open = true;
  EXPECT_EQ(steps(all), "clear renew reset forget open ");
  EXPECT_EQ(steps(Renewal{}), "");
}

TEST(ProducerTake, RestartAndOpen) {
  struct Row {
    const char* what;
    bool streaming, open;  // before: an utterance open ...
    int64_t buffered, emitted;  // ... or what the last one left
    bool interrupted, has_audio, replaced;
    bool restart, opens;
    OpenAction action;
    int64_t buffered_after, emitted_after;
    bool open_after;    // a restart closes the utterance; audio opens one
    const char* steps;  // what starts over: renewal(take)
  } rows[] = {
      // A clean runtime of the producer's own is reused (a streaming one
      // starts a new stream); anything else asks for a fresh one, which
      // starts from an empty buffer.
      {"first audio, streaming", true, false, 0, 0, false, true, false, false, true, OpenAction::reset_stream, 0, 0,
       true, "reset open "},
      {"first audio, composed", false, false, 0, 0, false, true, false, false, true, OpenAction::keep, 0, 0, true,
       "open "},
      {"runtime replaced", true, false, 0, 0, false, true, true, false, true, OpenAction::fresh, 0, 0, true,
       "renew open "},
      {"left over buffer", false, false, 1600, 0, false, true, false, false, true, OpenAction::fresh, 0, 0, true,
       "renew open "},
      {"left over ticks", true, false, 0, 2, false, true, false, false, true, OpenAction::fresh, 0, 0, true,
       "renew open "},
      {"more audio", true, true, 1600, 1, false, true, true, false, false, OpenAction::keep, 1600, 1, true, ""},
      {"no audio", true, false, 0, 0, false, false, true, false, false, OpenAction::keep, 0, 0, false, ""},
      // After a restart the runtime is the one just renewed, whatever the
      // session held before: it is renewed once, its open only resets the
      // stream.
      {"interrupted, audio", true, true, 1600, 1, true, true, true, true, true, OpenAction::reset_stream, 0, 0, true,
       "clear renew reset open "},
      {"interrupted, composed", false, true, 1600, 1, true, true, true, true, true, OpenAction::keep, 0, 0, true,
       "clear renew open "},
      {"interrupted, no audio", true, true, 1600, 1, true, false, false, true, false, OpenAction::keep, 0, 0, false,
       "clear renew "},
  };
  for (const Row& r : rows) {
    Producer p(800, r.streaming);
    if (r.open) p.take(false, true, false);
    p.appended(r.buffered);
    p.emitted(r.emitted);
    const Producer::Take t = p.take(r.interrupted, r.has_audio, r.replaced);
    EXPECT_EQ(t.restart, r.restart) << r.what;
    EXPECT_EQ(t.opens, r.opens) << r.what;
    if (r.opens) {
      EXPECT_EQ(t.open, r.action) << r.what;
    }
    EXPECT_EQ(p.open(), r.open_after) << r.what;
    EXPECT_EQ(p.buffered(), r.buffered_after) << r.what;
    EXPECT_EQ(p.ticks_emitted(), r.emitted_after) << r.what;
    EXPECT_EQ(steps(renewal(t)), r.steps) << r.what;
  }
}

TEST(ProducerTake, WhatAControlDoesAfterItsAudio) {
  struct Row {
    const char* what;
    int64_t buffered;
    bool end_of_speech, has_audio, last_chunk, stop_wake;
    Producer::Next next;
  } rows[] = {
      {"audio", 1600, false, true, false, false, Producer::Next::emit},
      {"last chunk", 1600, false, true, true, false, Producer::Next::emit_and_close},
      {"flush", 1600, true, false, false, false, Producer::Next::emit_and_close},
      {"flush of nothing", 0, true, false, false, false, Producer::Next::emit_and_close},
      {"empty audio", 0, false, true, false, false, Producer::Next::wait},
      {"nothing at all", 0, false, false, true, false, Producer::Next::wait},
      {"stop()'s wake-up, nothing open", 0, true, false, false, true, Producer::Next::wait},
      {"stop()'s wake-up, an utterance open", 1600, true, false, false, true, Producer::Next::wait},
  };
  for (const Row& r : rows) {
    Producer p(800, true);
    p.appended(r.buffered);
    EXPECT_EQ(p.after_audio(r.end_of_speech, r.has_audio, r.last_chunk, r.stop_wake), r.next) << r.what;
  }
}

TEST(ProducerClose, TailMarkerAndReset) {
  const TailPads pads{8, 3, 16};
  struct Row {
    const char* what;
    bool streaming, v2;
    int64_t buffered, emitted;  // when the utterance closes
    int64_t tail_out;           // frames the tail put out
    bool stop_or_interrupt, interrupted;
    int64_t buffered_after_close, tail_total;
    bool marker;
    int64_t marker_index;
  } rows[] = {
      {"streaming tail", true, false, 8400, 7, 4, false, false, 19 * 800, 11, false, 11},
      {"streaming tail, nothing ready", true, false, 8400, 7, 0, false, false, 19 * 800, 11, true, 7},
      {"composed tail", false, false, 8400, 7, 4, false, false, 14 * 800, 11, false, 11},
      {"v2 drain", true, true, 8400, 7, 4, false, false, 27 * 800, 11, true, 11},
      {"no tail", true, false, 8000, 10, 0, false, false, 8000, 0, true, 10},
  };
  for (const Row& r : rows) {
    Producer p = with_utterance(r.streaming, r.buffered, r.emitted);
    int asked = 0;
    const TailPlan t = p.close([&] { return ++asked, r.v2; }, pads);
    EXPECT_EQ(asked, t.remaining > 0 ? 1 : 0) << r.what;
    EXPECT_EQ(t.tail_total, r.tail_total) << r.what;
    EXPECT_EQ(p.buffered(), r.buffered_after_close) << r.what;
    if (t.remaining > 0) p.tail_emitted(r.tail_out);
    EXPECT_EQ(p.end_marker(r.stop_or_interrupt, r.interrupted), r.marker) << r.what;
    EXPECT_EQ(p.ticks_emitted(), r.marker_index) << r.what;
    EXPECT_EQ(steps(p.finish()), r.streaming ? "reset forget " : "forget ") << r.what;  // streaming: a new stream first
    EXPECT_EQ(p.buffered(), 0) << r.what;
    EXPECT_EQ(p.ticks_emitted(), 0) << r.what;
    EXPECT_FALSE(p.open()) << r.what;
  }
}

TEST(ProducerRenewal, AtTheTopOfAPass) {
  Producer p(800, true);
  EXPECT_EQ(steps(renewal(p.begin_pass(false, false))), "");
  EXPECT_EQ(steps(renewal(p.begin_pass(false, true))), "clear renew ");
  EXPECT_EQ(steps(renewal(p.begin_pass(true, true))), "");  // the task ends instead
}

TEST(HandOver, APictureWaitsForRoomInThePlayoutClock) {
  struct Row {
    const char* what;
    bool waited, interrupted, room, room_set, fits;
    HandOver want;
    int asked_set, asked_fits;
  } rows[] = {
      {"no clock", false, false, false, false, false, HandOver::put, 0, 0},
      {"room", false, false, true, true, true, HandOver::put, 1, 1},
      {"room event not set", false, false, true, false, true, HandOver::wait_room, 1, 0},
      {"clock full", false, false, true, true, false, HandOver::clear_room, 1, 1},
      {"interrupted before any wait", false, true, true, true, true, HandOver::put, 1, 1},
      {"interrupted while waiting", true, true, true, true, true, HandOver::drop, 0, 0},
      {"waited, then room", true, false, true, true, true, HandOver::put, 1, 1},
  };
  for (const Row& r : rows) {
    int asked_interrupt = 0, asked_set = 0, asked_fits = 0;
    const HandOver got = hand_over(
        r.waited, [&] { return ++asked_interrupt, r.interrupted; }, r.room,
        [&] { return ++asked_set, r.room_set; }, [&] { return ++asked_fits, r.fits; });
    EXPECT_EQ(got, r.want) << r.what;
    EXPECT_EQ(asked_interrupt, r.waited ? 1 : 0) << r.what;  // only after a wait
    EXPECT_EQ(asked_set, r.asked_set) << r.what;
    EXPECT_EQ(asked_fits, r.asked_fits) << r.what;
  }
}

TEST(HandOver, PictureFitsUnderTheHold) {
  struct Row {
    bool has_playout;
    std::optional<long> hold;
    long queued;
    bool want, asked;
  } rows[] = {
      {false, 50, 99, true, false}, {true, std::nullopt, 99, true, false},
      {true, 50, 49, true, true},   {true, 50, 50, false, true},
      {true, 0, 0, false, true},
  };
  for (const Row& r : rows) {
    bool asked = false;
    EXPECT_EQ(picture_fits(r.has_playout, r.hold, [&] { return asked = true, r.queued; }), r.want) << r.queued;
    EXPECT_EQ(asked, r.asked) << r.queued;
  }
}

}  // namespace
