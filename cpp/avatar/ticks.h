// Tick arithmetic and the decisions of the live producer's tick emission:
// how many ticks of an utterance's buffer may leave now, how a zephan-2
// stream takes its audio in slices, when new audio is pushed and how the
// push is timed, which samples each tick carries, which frame closes the
// utterance, where each picture comes from, and the per-sample conversions
// between the float32 buffer and the int16 audio that goes out with each
// frame.
//
// Pure functions over plain numbers and raw sample pointers; the coroutine
// that drives an emission awaits the engine and the output and hands the
// facts here. No Python. The sample loops are meant to run with the
// interpreter lock released: they touch only the memory they are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace halvane::avatar {

// Ticks of an open utterance that may be emitted: the whole ticks of the
// buffer less the `lookback` last ones (never below 0).
int64_t ready_total(int64_t n_samples, int64_t spt, int64_t lookback);

// How many ticks one emission call puts out.
struct EmitAsk {
  bool streaming = true;      // pulled from the runtime (else composed at a size)
  bool eos_padding = false;   // the utterance ended and its tail is padded
  std::optional<int64_t> tail_total;  // one past the utterance's last tick
  int64_t ticks_emitted = 0;  // ticks of the utterance already out
  int64_t ready_total = 0;    // see ready_total()
};
// The count a streaming call pulls, of the runtime's `available` ready ticks,
// and the count a composed call composes. Composed mode with `eos_padding`
// needs `tail_total` (the caller checks).
int64_t n_pulled(const EmitAsk& a, int64_t available);
int64_t n_composed(const EmitAsk& a);
// The count to emit; 0 or less means nothing. `available()` (the runtime's
// ready ticks) is asked only of a streaming call.
template <class Available>
int64_t n_to_emit(const EmitAsk& a, Available&& available) {
  return a.streaming ? n_pulled(a, available()) : n_composed(a);
}

// Whether the ask can be served: a composed tail needs its end.
inline bool ask_complete(const EmitAsk& a) { return a.streaming || !a.eos_padding || a.tail_total.has_value(); }

// One step of feeding a zephan-2 stream: audio goes in slices of at most
// `slice` samples, the ticks of each leaving before the next is pushed.
// Once the session is stopped or interrupted the rest of the audio is
// abandoned: pushed whole it would hold the engine, and stop() or the next
// utterance, for as long as the engine takes to render it.
struct SliceStep {
  enum Kind {
    whole,    // no slicing (any more): the call goes on with the whole buffer
    slice,    // emit the buffer up to `end`, without the tail flags, then step again
    rest,     // emit the whole buffer with the call's flags, and return
    abandon,  // return what the slices put out
  } kind = whole;
  int64_t end = 0;  // slice: one past its last sample
};
// `sliced`: a streaming call on a zephan-2 stream; `n_buf` samples buffered,
// `pushed` of them in the engine; `early`: ticks the slices put out so far.
SliceStep next_slice(bool sliced, int64_t n_buf, int64_t pushed, int64_t slice, int64_t early,
                     bool stop_or_interrupt);

// Whether a streaming call pushes the buffer's new audio (`n_buf` samples,
// `pushed` of them in the engine). Abandoned audio stays out of the engine:
// the call returns at once.
enum class Push { none, push, abandon };
Push push_step(bool streaming, int64_t n_buf, int64_t pushed, bool stop_or_interrupt);

// The push timing a zephan-2 stream keeps for the playout clock: only a push
// that made ticks ready (the runtime's ready count went from `before` to
// `after`) is timed; the utterance's first one is kept as it is, later ones
// blend into the steady time (0.7 of it plus 0.3 of the new one; the first
// steady one as it is).
struct PushTime {
  enum Kind {
    none,    // nothing to note
    first,   // `value` is the utterance's first timed push
    steady,  // `value` is the new steady time
  } kind = none;
  double value = 0.0;
};
// `first_known`: the utterance has its first timed push; `steady`: the
// steady time so far.
PushTime time_push(bool first_known, std::optional<double> steady, int64_t before, int64_t after, double dur);

// One push of a streaming call, timed when `timed` (a zephan-2 stream): the
// runtime's ready count `ready()` is asked before the push and after it, then
// the push timing so far, `known()`, a pair of time_push()'s `first_known`
// and `steady`; the clock `now()` is read at the start and, for a timed
// push, at the end. An untimed push asks only the clock, at its start.
class PushTimer {
 public:
  template <class Ready, class Now>
  PushTimer(bool timed, Ready&& ready, Now&& now)
      : before_(timed ? std::optional<int64_t>(ready()) : std::nullopt), start_(now()) {}

  template <class Ready, class Now, class Known>
  PushTime after(Ready&& ready, Now&& now, Known&& known) const {
    if (!before_) return {};
    const int64_t ready_after = ready();
    const auto [first_known, steady] = known();
    return time_push(first_known, steady, *before_, ready_after, now() - start_);
  }

 private:
  std::optional<int64_t> before_;
  double start_;
};

// The samples tick `tick_idx` carries out of a buffer of `n_buf`: from
// `from`, `avail` of them (fewer than spt, or none, past the buffer's end;
// the rest of the tick is silence).
struct TickSpan {
  int64_t from = 0;
  int64_t avail = 0;
};
TickSpan tick_span(int64_t tick_idx, int64_t spt, int64_t n_buf);

// Whether the `k`-th of the `n` ticks of a call, tick `tick_idx` of the
// utterance, closes it (end_of_speech and the audio's last chunk): only a
// padded tail whose caller lets it mark its last frame; streaming, its last
// ready tick; composed, the utterance's last tick.
bool is_last_tick(const EmitAsk& a, bool mark_last, int64_t k, int64_t n, int64_t tick_idx);

// The ticks of one emission call, one at a time, as the call renders and
// puts them out: each with its index in the utterance, its samples and
// whether it closes the utterance. The call stops early when the session is
// stopped or interrupted before a tick.
class TickRun {
 public:
  struct Tick {
    int64_t idx = 0;  // in the utterance
    TickSpan span;
    bool last = false;  // end_of_speech and the audio's last chunk
  };
  // `n` ticks of `ask` (n_to_emit), from a buffer of `n_buf` samples.
  TickRun(const EmitAsk& ask, bool mark_last, int64_t n, int64_t spt, int64_t n_buf)
      : ask_(ask), mark_last_(mark_last), n_(n), spt_(spt), n_buf_(n_buf) {}

  // The next tick, or none when all were handed out or
  // `stop_or_interrupt()` says the session's work ends now (asked only while
  // ticks remain).
  template <class StopOrInterrupt>
  std::optional<Tick> next(StopOrInterrupt&& stop_or_interrupt) {
    if (k_ >= n_ || stop_or_interrupt()) return std::nullopt;
    Tick t;
    t.idx = ask_.ticks_emitted + k_;
    t.span = tick_span(t.idx, spt_, n_buf_);
    t.last = is_last_tick(ask_, mark_last_, k_, n_, t.idx);
    ++k_;
    return t;
  }

 private:
  EmitAsk ask_;
  bool mark_last_;
  int64_t n_, spt_, n_buf_;
  int64_t k_ = 0;
};

// Where a tick's picture comes from: pulled from the runtime at its size,
// pulled and fitted inside a given size (the v2 tail of a composed session),
// or composed at the output size.
enum class PictureSource { pull, pull_fitted, compose };
PictureSource picture_source(bool streaming, bool fit_size);

// A composing runtime with no audio left ends the call quietly with the
// frames so far: its ValueError says so. `text()` (the error's message) is
// asked only for a composed picture's ValueError.
bool out_of_audio_text(std::string_view text);
template <class Text>
bool ran_out_of_audio(PictureSource src, bool value_error, Text&& text) {
  return src == PictureSource::compose && value_error && out_of_audio_text(text());
}

// One tick of audio: `avail` samples of `src` (fewer than `spt` at the end
// of a buffer) clipped to -1..1, times `scale`, truncated toward zero into
// `out[0..spt)`; the samples past `avail` are zeros. NaN becomes 0.
void tick_to_i16(const float* src, size_t avail, size_t spt, float scale, int16_t* out);

// float32 samples times `scale`, truncated toward zero, without clipping;
// values beyond the int16 range saturate and NaN becomes 0.
void scale_to_i16(const float* src, size_t n, float scale, int16_t* out);

// `out` = `old[0..n_old)` followed by each of `add[0..n_add)` divided by
// `scale` as float32.
void append_i16_as_f32(const float* old, size_t n_old, const int16_t* add, size_t n_add, float scale, float* out);

// `out` = `old[0..n_old)` followed by zeros up to `n_out` samples.
void extend_with_zeros(const float* old, size_t n_old, size_t n_out, float* out);

}  // namespace halvane::avatar
