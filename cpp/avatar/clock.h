// The arithmetic of the zephan-2 playout clock: how much input audio the
// engine needs before it has made a number of frames, the start test that
// decides when buffered frames can play through until the engine's second
// chunk is expected, the catch-up bound of the frame schedule, and how many
// frames the clock may hold before the producer has to wait.
//
// Thread contract: plain values; one StartTest per clock task, used by the
// thread that runs that task. No Python here.
#pragma once

#include <functional>
#include <optional>

namespace halvane::avatar {

// Two instants closer than this count as the same instant in the start test:
// sums of frame periods and render times land an ulp or two on either side of
// a bound they reach exactly.
inline constexpr double kTimeSlack = 1e-9;

// The frame cadence and the engine's chunk geometry, fixed for a clock task
// (the engine's own numbers, given by the caller: see make()).
struct ClockTiming {
  double period = 0.0;   // seconds per frame
  double ahead_s = 0.0;  // audio the engine takes in beyond its first chunk's frames

  // `spt` samples per tick at `sample_rate`; the engine's first chunk makes
  // `chunk0_frames` frames, every later one `chunk_frames`.
  static ClockTiming make(double period, long spt, long sample_rate, long chunk0_frames, long chunk_frames);

  // Seconds of input audio that must have arrived before the engine has made
  // `frames` frames of an utterance.
  double audio_for(long frames) const { return static_cast<double>(frames) * period + ahead_s; }
};

// How the current utterance's input has arrived (monotonic seconds).
struct Arrival {
  std::optional<double> t0;     // first audio of the run; none: no run
  double got = 0.0;             // seconds of audio received in the run
  std::optional<double> t_end;  // when the run's input completed, once it has
};

// The engine's measured push durations.
struct RenderTimes {
  std::optional<double> r0;      // first push of the utterance that made ticks
  std::optional<double> steady;  // smoothed later pushes
};

// The live module's tuning of the start test, given by the caller.
struct StartTuning {
  double margin_s = 0.0;   // safety margin between the buffered frames' end and chunk 1
  double r1_factor = 0.0;  // chunk 1's render time relative to chunk 0's, when unmeasured
};

// The start test and the state it keeps while a start is pending.
class StartTest {
 public:
  std::optional<double> t_chunk0;  // when the pending start first saw arrival statistics
  std::optional<double> lag0;      // how far chunk 0's frames came behind their audio, >= 0

  void clear() {
    t_chunk0.reset();
    lag0.reset();
  }

  // True when `ready` buffered frames, played from `now`, last until the
  // engine's second chunk is expected, with the margin to spare. `need1`
  // gives the seconds of audio the engine needs before that chunk; it is
  // called only when there are arrival statistics to go on.
  bool next_chunk_in_time(const ClockTiming& timing, long ready, double now, const Arrival& arrival,
                          const std::function<double()>& need1, const RenderTimes& render, const StartTuning& tuning);
};

// The due time of the frame period after `next_due`, never more than
// `catchup_s` behind `now`: after a stall about catchup_s / period periods go
// out back to back, older ones are not made up.
inline double advance_due(double next_due, double period, double now, double catchup_s) {
  double due = next_due + period;
  double floor = now - catchup_s;
  return due > floor ? due : floor;
}

// Picture frames the clock may hold (buffered or queued to it) before the
// producer waits: `hold_s` of frames, and always more than the preroll, so a
// full buffer always starts playback.
long hold_frames(double hold_s, double period, long preroll_frames);

}  // namespace halvane::avatar
