// The decisions of the zephan-2 playout clock, without I/O: the buffer of
// items taken from the producer, the frame schedule (wait, or the period is
// due), when an utterance starts to play, what each frame period puts out
// (the buffered items up to one picture; else a hold frame of the last
// picture while playing; else a resting frame, and which picture it shows),
// an interruption's reset (only the terminal items stay), the end of a
// stopped stream, and how the producer's room to hand over another picture
// changes.
//
// Items are opaque payloads with the flags the clock decides on; time is
// passed in. The task that drives this awaits the queues and the runtime and
// puts out what a period returns, in order.
//
// Thread contract: one PlayoutClock per clock task, used by the thread that
// runs that task. No Python here.
#pragma once

#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "avatar/clock.h"

namespace halvane::avatar {

// What the clock knows of an item.
struct ItemFlags {
  bool stream_end = false;     // the end of the stream
  bool terminal = false;       // the end of the stream, or a forwarded failure
  bool frame = false;          // a frame record
  bool picture = false;        // a frame with a picture
  bool end_of_speech = false;  // a frame that closes its utterance
};

// The flags of an item as `probe` answers stream_end(), terminal(), frame(),
// picture() and end_of_speech(); the last two are asked only of a frame.
template <class Probe>
ItemFlags item_flags(Probe& probe) {
  ItemFlags f;
  f.stream_end = probe.stream_end();
  f.terminal = probe.terminal();
  f.frame = probe.frame();
  if (f.frame) {
    f.picture = probe.picture();
    f.end_of_speech = probe.end_of_speech();
  }
  return f;
}

// Every number comes from the caller: the engine's chunk geometry and the
// live module's constants.
struct PlayoutConfig {
  ClockTiming timing;
  StartTuning tuning;
  long preroll_frames = 0;  // buffered pictures that start playback outright
  long chunk0_frames = 0;   // fewer than this never start an open utterance
  long chunk_frames = 0;    // frames of each later chunk
  double catchup_s = 0.0;   // the schedule never lags real time by more
  long hold = 0;            // pictures the clock may hold before the producer waits
};

template <class T>
class PlayoutClock {
 public:
  struct Item {
    T payload;
    ItemFlags flags;
  };

  enum class Fill {
    none,     // a picture went out, or there is nothing to show
    hold,     // repeat `picture`, the last one shown, with silence
    resting,  // the engine's resting picture, else `picture` when there is one
  };

  // What one frame period puts out.
  struct Period {
    bool started = false;    // playback starts now: resting frames still queued for output go first
    std::vector<Item> out;   // put out in this order
    bool ends = false;       // the last of `out` is the end of the stream: the task ends after it
    Fill fill = Fill::none;  // after `out`
    std::optional<T> picture;
  };

  // The first period is due at `start`.
  PlayoutClock(const PlayoutConfig& config, double start) : cfg_(config), next_due_(start) {}

  void take(T payload, const ItemFlags& flags) {
    pictures_ += flags.picture;
    buf_.push_back(Item{std::move(payload), flags});
  }

  // The start of a pass of the clock, before the room and the schedule: an
  // interruption (`interrupted`) resets the buffer (reset()), then a
  // stopping session (`stopping`) gets what stop() returns. Nothing goes out
  // otherwise.
  Period begin_pass(bool interrupted, bool stopping) {
    if (interrupted) reset();
    if (!stopping) return Period{};
    return stop();
  }

  enum class Room { keep, open, close };

  // What the room event, open or not (`is_open`: the producer may close it
  // too), must do while `queued` items wait for the clock in its queue.
  Room room_change(long queued, bool is_open) const {
    const bool open = room_open(queued);
    if (open == is_open) return Room::keep;
    return open ? Room::open : Room::close;
  }

  // Opens or closes `room` (is_open(), open(), close()) as room_change()
  // says.
  template <class Event>
  void update_room(long queued, Event& room) const {
    const Room change = room_change(queued, room.is_open());
    if (change == Room::open) room.open();
    if (change == Room::close) room.close();
  }

  // How long the clock only takes in before the next period is due; none
  // when it is due at `now`.
  std::optional<double> wait_s(double now) const {
    if (now < next_due_) return next_due_ - now;
    return std::nullopt;
  }

  // New tuning between periods (the buffer, the schedule and the start
  // test's state stay).
  void retune(const PlayoutConfig& config) { cfg_ = config; }
  // Whether the next period may start playback: only then does it read the
  // start's tuning (the preroll, the chunk sizes, the start test's margins).
  bool start_pending() const { return !playing_ && !buf_.empty(); }

  // The period due at `now` (the caller waits out wait_s(now) first): the
  // schedule advances, playback may start, and what goes out is chosen.
  // `facts()` gives the Arrival and RenderTimes of the start test and
  // `need1()` the engine's own count of the audio it needs before its second
  // chunk, or none when it gives none (the clock then takes its first two
  // chunks' audio by its own geometry); each is called only when an open
  // utterance has between chunk0_frames and preroll_frames pictures
  // buffered, need1() only once facts() gave arrival statistics to go on.
  template <class Facts, class Need1>
  Period period(double now, Facts&& facts, Need1&& need1) {
    Period p;
    next_due_ = advance_due(next_due_, cfg_.timing.period, now, cfg_.catchup_s);
    if (start_pending()) {
      playing_ = should_start(now, facts, need1);
      if (playing_) {
        start_.clear();
        p.started = true;
      }
    }
    bool shown = false;
    while (playing_ && !buf_.empty() && !shown) {
      Item it = std::move(buf_.front());
      buf_.pop_front();
      const ItemFlags f = it.flags;
      pictures_ -= f.picture;
      if (f.frame && f.picture) last_ = it.payload;
      p.out.push_back(std::move(it));
      if (f.stream_end) {
        p.ends = true;
        return p;
      }
      if (f.frame) {
        shown = f.picture;
        if (f.end_of_speech) playing_ = false;
      }
    }
    if (shown) return p;
    p.fill = playing_ && last_ ? Fill::hold : Fill::resting;
    p.picture = last_;
    return p;
  }

  // The picture of the frame that fills period `p` after its `out`: for a
  // hold the last picture shown; for a resting frame the engine's resting
  // picture (`resting()`, asked only then: the driver asks once it has put
  // out `out`), else the last picture shown; none when there is nothing to
  // show.
  template <class Resting>
  static std::optional<T> fill_picture(const Period& p, Resting&& resting) {
    if (p.fill == Fill::none) return std::nullopt;
    if (p.fill == Fill::hold) return p.picture;
    std::optional<T> engine = resting();
    return engine ? engine : p.picture;
  }

 private:
  // An interruption: the frames are dropped, the terminal items stay in
  // order, playback stops. The last picture and the schedule stay.
  void reset() {
    std::erase_if(buf_, [](const Item& it) { return !it.flags.terminal; });
    pictures_ = 0;
    playing_ = false;
    start_.clear();
  }

  // The session stops. With a terminal item in hand, the buffer is emptied
  // and its terminal items up to the end of the stream are returned in
  // `out` (`ends` when that end is among them); without one, nothing
  // changes and the clock paces on until one arrives.
  Period stop() {
    Period p;
    for (Item& it : buf_) {
      if (!it.flags.terminal) continue;
      p.out.push_back(std::move(it));
      if (p.out.back().flags.stream_end) {
        p.ends = true;
        break;
      }
    }
    if (p.out.empty()) return p;  // no terminal item: nothing was moved
    buf_.clear();
    pictures_ = 0;
    return p;
  }

  // Whether the producer may hand over another picture while `queued`
  // items wait for the clock in its queue.
  bool room_open(long queued) const { return pictures_ + queued < cfg_.hold; }

  template <class Facts, class Need1>
  bool should_start(double now, Facts& facts, Need1& need1) {
    bool ended = false;
    for (const Item& it : buf_) ended = ended || it.flags.terminal || (it.flags.frame && it.flags.end_of_speech);
    if (pictures_ >= cfg_.preroll_frames) return true;
    if (ended) return true;
    if (pictures_ < cfg_.chunk0_frames) return false;
    const std::pair<Arrival, RenderTimes> f = facts();
    auto need = [&] {
      const std::optional<double> engine = need1();
      return engine ? *engine : cfg_.timing.audio_for(cfg_.chunk0_frames + cfg_.chunk_frames);
    };
    return start_.next_chunk_in_time(cfg_.timing, pictures_, now, f.first, need, f.second, cfg_.tuning);
  }

  PlayoutConfig cfg_;
  std::deque<Item> buf_;
  long pictures_ = 0;
  bool playing_ = false;
  std::optional<T> last_;
  double next_due_;
  StartTest start_;
};

}  // namespace halvane::avatar
