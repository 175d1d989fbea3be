// The producer task's decisions, without I/O: what a pass does before and
// after its wait for a control (stop, restart after an interrupt, an idle
// frame), how a control's audio opens an utterance and finds the engine
// runtime, when the buffer goes to the tick emission, whether a control
// closes the utterance, how its tail is padded and run, whether its
// end-of-speech marker goes out, and the reset behind it; also whether a
// picture handed to the output waits for the playout clock.
//
// Producer holds the utterance's state as numbers (samples buffered, ticks
// out, open or not); the task that drives it keeps the payloads (buffer,
// runtime, message id), awaits the queue and the engine, hands the facts
// here and performs what comes back, in order.
//
// Thread contract: one Producer per producer task, used by the thread that
// runs that task. No Python here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

namespace halvane::avatar {

// What an utterance's first audio does to the runtime.
enum class OpenAction {
  fresh,         // a fresh runtime: the one in place is not the producer's, or the last utterance left something
  reset_stream,  // the streaming runtime in place starts a new stream
  keep,          // the composing runtime in place is used as it is
};

struct TailPads {
  int64_t stream_pad = 8;  // silent ticks behind a streamed utterance
  int64_t lookback = 3;    // ... behind a composed one
  int64_t v2_pad = 16;     // the least pad on v2 streams
};

// The tail of an utterance closed with `n_samples` buffered and
// `ticks_emitted` out: the ticks not out yet (a partial last tick counts as
// one), padded with silent ticks: `stream_pad` when streaming, `lookback`
// when composing, at least `v2_pad` on v2 streams.
struct TailPlan {
  int64_t remaining = 0;   // ticks not out yet; 0: no tail, the marker closes the utterance
  int64_t target_len = 0;  // samples the padded buffer holds: every tick of the utterance and the pad
  int64_t tail_total = 0;  // one past the utterance's last tick
  bool v2 = false;         // a v2 stream: the tail drain runs it
  bool extend = false;     // the buffer is shorter than target_len: zeros go behind it
};
// `is_v2()` is asked only when there is a tail.
template <class IsV2>
TailPlan plan_tail(int64_t n_samples, int64_t spt, int64_t ticks_emitted, bool streaming, IsV2&& is_v2,
                   const TailPads& pads) {
  TailPlan p;
  const int64_t total_ticks = n_samples / spt + (n_samples % spt != 0 ? 1 : 0);
  p.remaining = std::max<int64_t>(total_ticks - ticks_emitted, 0);
  if (p.remaining == 0) return p;
  p.v2 = is_v2();
  const int64_t pad = streaming ? pads.stream_pad : pads.lookback;
  p.target_len = (ticks_emitted + p.remaining + (p.v2 ? std::max(pads.v2_pad, pad) : pad)) * spt;
  p.tail_total = ticks_emitted + p.remaining;
  p.extend = n_samples < p.target_len;
  return p;
}

// How the tail went, for the marker rule.
struct TailOutcome {
  bool had_tail = false;       // TailPlan::remaining > 0
  bool v2 = false;             // drained by the v2 tail drain
  bool streaming = false;
  int64_t tail_frames = 0;     // frames the padded emission put out
  bool stop_or_interrupt = false;
  bool interrupted = false;
};

// Whether the end-of-speech marker goes out: always after no tail or a v2
// drain; after a padded emission only when a streaming runtime had nothing
// ready (the last frame of a tail carries the end of speech otherwise) and
// nothing cut the tail short. An interrupted utterance never gets one.
bool end_marker(const TailOutcome& t);

// What the session and the utterance start over with, at the top of a pass,
// when a control is taken and after a close (perform() runs the steps).
// Forgetting the utterance empties its buffer and drops its message id and
// the count of samples pushed to the engine.
struct Renewal {
  bool clear_interrupt = false;  // the interrupt is handled
  bool renew_runtime = false;    // a fresh (or reset) runtime from the session; the utterance forgotten with it
  bool reset_stream = false;     // the runtime in hand starts a new stream
  bool forget = false;           // the utterance forgotten (after the stream reset)
  bool open = false;             // an utterance opens: the control's message id, nothing pushed, no push timing
};

// Runs the steps of `r` through `steps`, in this order: clear_interrupt(),
// renew_runtime(), reset_stream(), forget(), open().
template <class Steps>
void perform(const Renewal& r, Steps& steps) {
  if (r.clear_interrupt) steps.clear_interrupt();
  if (r.renew_runtime) steps.renew_runtime();
  if (r.reset_stream) steps.reset_stream();
  if (r.forget) steps.forget();
  if (r.open) steps.open();
}

// The producer's utterance, one control at a time.
class Producer {
 public:
  // `streaming`: frames are pulled from the runtime (no output size).
  Producer(int64_t spt, bool streaming) : spt_(spt), streaming_(streaming) {}

  // How long a pass waits for a control: one frame period when streaming,
  // so idle frames leave at the frame rate.
  double wait_s(double fps) const { return streaming_ ? 1.0 / fps : 1.0; }

  // The top of a pass: a stopped session ends the task; an interrupt drops
  // the utterance in hand (the driver renews the runtime) before the wait.
  enum class Pass { stop, restart, wait };
  Pass begin_pass(bool stopped, bool interrupted);

  // The wait ran out: whether an idle frame goes out. Only while streaming
  // without a playout clock, with every whole tick of the buffer out, and
  // never once stopped (the next pass ends the task).
  bool idle_frame(bool stopped, bool clock_running) const;

  // A control taken from the queue, and what it does first: an interrupt
  // raised during the wait drops the old utterance (what arrives now belongs
  // to the next one); audio with no utterance open opens one. A restart
  // leaves the producer's own runtime, so its open never asks for a fresh
  // one.
  struct Take {
    bool restart = false;  // renew the runtime, forget the utterance
    bool opens = false;    // the audio opens an utterance (message id, pushed count, push timing start over)
    OpenAction open = OpenAction::keep;  // when it opens: how the runtime is made ready
  };
  Take take(bool interrupted, bool has_audio, bool runtime_replaced);

  // `n` samples of the control's audio joined the buffer.
  void appended(int64_t n) { buffered_ += n; }

  // After the control's audio: nothing to do with an empty buffer that
  // stays open, nor for the end of speech that stop() queued only to wake
  // the producer (`stop_wake`: the stop event ends the task at the next
  // pass, an open utterance is cut short and no marker of no utterance goes
  // out); else the ready ticks go out, and the utterance closes after them
  // when the control says so.
  enum class Next { wait, emit, emit_and_close };
  Next after_audio(bool end_of_speech, bool has_audio, bool last_chunk, bool stop_wake) const;

  // `n` ticks went out.
  void emitted(int64_t n) { ticks_ += n; }

  // The close: the tail of what is buffered (the buffer takes the plan's
  // extension at once). `is_v2()` is asked only when there is a tail.
  template <class IsV2>
  TailPlan close(IsV2&& is_v2, const TailPads& pads) {
    tail_ = plan_tail(buffered_, spt_, ticks_, streaming_, is_v2, pads);
    tail_frames_ = 0;
    if (tail_.extend) buffered_ = tail_.target_len;
    return tail_;
  }
  // The tail put out `n` frames (a padded emission or a drain).
  void tail_emitted(int64_t n) {
    ticks_ += n;
    tail_frames_ = n;
  }
  // Whether the end-of-speech marker goes out behind the tail (frame index:
  // ticks_emitted()).
  bool end_marker(bool stop_or_interrupt, bool interrupted) const;
  // Ready for the next utterance: nothing buffered, out or open. Returns
  // what starts over: a streaming runtime starts a new stream before the
  // utterance is forgotten; a composing one is kept as it is.
  Renewal finish();

  int64_t ticks_emitted() const { return ticks_; }
  int64_t buffered() const { return buffered_; }
  bool open() const { return open_; }

 private:
  void forget();

  int64_t spt_;
  bool streaming_;
  int64_t buffered_ = 0;
  int64_t ticks_ = 0;
  bool open_ = false;
  TailPlan tail_;
  int64_t tail_frames_ = 0;
};

// A restart at the top of a pass: the interrupt handled, a fresh runtime.
Renewal renewal(Producer::Pass pass);
// A control taken: the restart its interrupt asks for, then the open.
Renewal renewal(const Producer::Take& take);

// A frame's hand-over to the output. A picture on a stream with a playout
// clock waits while the clock holds as many pictures as it may: the clock
// publishes a room event, set when it took pictures and cleared here when
// the room turns out full (the clock may be stuck on a full output queue).
// A picture that waited through an interrupt belongs to the abandoned
// utterance and is dropped. `interrupted()` is asked only after a wait;
// `room` says whether a room event exists; `room_set()` is asked only then,
// `fits()` only when it is set.
enum class HandOver { put, wait_room, clear_room, drop };
template <class Interrupted, class RoomSet, class Fits>
HandOver hand_over(bool waited, Interrupted&& interrupted, bool room, RoomSet&& room_set, Fits&& fits) {
  if (waited && interrupted()) return HandOver::drop;
  if (!room) return HandOver::put;
  if (!room_set()) return HandOver::wait_room;
  return fits() ? HandOver::put : HandOver::clear_room;
}

// The clock has room for one more picture: there is no playout queue or no
// hold, or it holds fewer than `hold`. `queued()` is asked only when both
// exist.
template <class Queued>
bool picture_fits(bool has_playout, std::optional<long> hold, Queued&& queued) {
  return !has_playout || !hold || queued() < *hold;
}

}  // namespace halvane::avatar
