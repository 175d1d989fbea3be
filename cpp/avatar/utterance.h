// The producer's decisions about one utterance, without I/O: how its first
// audio finds the engine runtime, whether a control closes it, how its tail
// is padded and how long it runs, and whether its end-of-speech marker goes
// out.
//
// Plain values; the producer task reads the queue, the buffer and the
// session's events and hands the facts here. No Python here.
#pragma once

#include <algorithm>
#include <cstdint>

#include "avatar/ticks.h"

namespace halvane::avatar {

// What an utterance's first audio does to the runtime.
enum class OpenAction {
  fresh,         // a fresh runtime: the one in place is not the producer's, or the last utterance left something
  reset_stream,  // the streaming runtime in place starts a new stream
  keep,          // the composing runtime in place is used as it is
};

// `runtime_replaced`: the session's runtime is not the one the producer last
// used; `buffered_samples` and `ticks_emitted` are what the closed utterance
// left behind.
OpenAction open_action(bool runtime_replaced, int64_t buffered_samples, int64_t ticks_emitted, bool streaming);

// A control closes the open utterance when it says end of speech or its
// audio is the last chunk.
inline bool closes_utterance(bool end_of_speech, bool has_audio, bool last_chunk) {
  return end_of_speech || (has_audio && last_chunk);
}

struct TailPads {
  int64_t stream_pad = 8;  // silent ticks behind a streamed utterance
  int64_t lookback = 3;    // ... behind a composed one
  int64_t v2_pad = 16;     // the least pad on v2 streams
};

// The tail of an utterance closed with `n_samples` buffered and
// `ticks_emitted` out.
struct TailPlan {
  int64_t remaining = 0;   // ticks not out yet; 0: no tail, the marker closes the utterance
  int64_t pad = 0;         // silent ticks behind them
  int64_t target_len = 0;  // samples the padded buffer holds (the buffer is extended to it when shorter)
  int64_t tail_total = 0;  // one past the utterance's last tick
  bool v2 = false;         // a v2 stream: the tail drain runs it
};
// `is_v2()` is asked only when there is a tail.
template <class IsV2>
TailPlan plan_tail(int64_t n_samples, int64_t spt, int64_t ticks_emitted, bool streaming, IsV2&& is_v2,
                   const TailPads& pads) {
  TailPlan p;
  p.remaining = std::max<int64_t>(total_audio_ticks(n_samples, spt) - ticks_emitted, 0);
  if (p.remaining == 0) return p;
  p.v2 = is_v2();
  p.pad = tail_pad(streaming, p.v2, pads.stream_pad, pads.lookback, pads.v2_pad);
  p.target_len = tail_target_len(ticks_emitted, p.remaining, p.pad, spt);
  p.tail_total = ticks_emitted + p.remaining;
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

}  // namespace halvane::avatar
