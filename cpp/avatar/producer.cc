#include "avatar/producer.h"

namespace halvane::avatar {

namespace {

// `runtime_replaced`: the session's runtime is not the one the producer last
// used; `buffered_samples` and `ticks_emitted` are what the closed utterance
// left behind.
OpenAction open_action(bool runtime_replaced, int64_t buffered_samples, int64_t ticks_emitted, bool streaming) {
  if (runtime_replaced || buffered_samples > 0 || ticks_emitted > 0) return OpenAction::fresh;
  return streaming ? OpenAction::reset_stream : OpenAction::keep;
}

// A control closes the open utterance when it says end of speech or its
// audio is the last chunk.
bool closes_utterance(bool end_of_speech, bool has_audio, bool last_chunk) {
  return end_of_speech || (has_audio && last_chunk);
}

}  // namespace

bool end_marker(const TailOutcome& t) {
  if (t.interrupted) return false;
  if (!t.had_tail || t.v2) return true;
  return t.streaming && t.tail_frames == 0 && !t.stop_or_interrupt;
}

Renewal renewal(Producer::Pass pass) {
  Renewal r;
  r.clear_interrupt = r.renew_runtime = pass == Producer::Pass::restart;
  return r;
}

Renewal renewal(const Producer::Take& take) {
  Renewal r;
  r.clear_interrupt = take.restart;
  // A restart's open never asks for a fresh runtime: it has one.
  r.renew_runtime = take.restart || (take.opens && take.open == OpenAction::fresh);
  r.reset_stream = take.opens && take.open == OpenAction::reset_stream;
  r.open = take.opens;
  return r;
}

Producer::Pass Producer::begin_pass(bool stopped, bool interrupted) {
  if (stopped) return Pass::stop;
  if (!interrupted) return Pass::wait;
  forget();
  return Pass::restart;
}

bool Producer::idle_frame(bool stopped, bool clock_running) const {
  // A whole tick still in the buffer is speech, not idleness.
  return !stopped && streaming_ && !clock_running && buffered_ / spt_ <= ticks_;
}

Producer::Take Producer::take(bool interrupted, bool has_audio, bool runtime_replaced) {
  Take t;
  t.restart = interrupted;
  if (t.restart) forget();
  t.opens = has_audio && !open_;
  if (!t.opens) return t;
  // After a restart the runtime in place is the one just renewed.
  t.open = open_action(!t.restart && runtime_replaced, buffered_, ticks_, streaming_);
  if (t.open == OpenAction::fresh) forget();
  open_ = true;
  return t;
}

Producer::Next Producer::after_audio(bool end_of_speech, bool has_audio, bool last_chunk, bool stop_wake) const {
  if (stop_wake) return Next::wait;
  const bool closes = closes_utterance(end_of_speech, has_audio, last_chunk);
  if (buffered_ == 0 && !closes) return Next::wait;
  return closes ? Next::emit_and_close : Next::emit;
}

bool Producer::end_marker(bool stop_or_interrupt, bool interrupted) const {
  TailOutcome t;
  t.had_tail = tail_.remaining > 0;
  t.v2 = tail_.v2;
  t.streaming = streaming_;
  t.tail_frames = tail_frames_;
  t.stop_or_interrupt = stop_or_interrupt;
  t.interrupted = interrupted;
  return avatar::end_marker(t);
}

Renewal Producer::finish() {
  forget();
  Renewal r;
  r.reset_stream = streaming_;
  r.forget = true;
  return r;
}

void Producer::forget() {
  buffered_ = 0;
  ticks_ = 0;
  open_ = false;
  tail_ = TailPlan{};
  tail_frames_ = 0;
}

}  // namespace halvane::avatar
