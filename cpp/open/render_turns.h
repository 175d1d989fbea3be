// Which render of one avatar may drive its engine, and when.
//
// An avatar renders one clip at a time. The render that started last is the
// current one; starting a render makes the one before it stale, and so does
// closing the avatar. A stale render never reaches the engine again: it ends
// at its next step, and its interrupt (a close, a reclaim by the collector)
// is dropped, since the engine now belongs to the later render.
//
// Engine calls are made one at a time: whoever calls the engine holds the
// avatar's turn (re-entrant on the thread that holds it, as a render's audio
// may be Python code that renders the same avatar). A finaliser must never
// wait for the turn: when it is held, the interrupt is owed instead, and the
// holder performs it as it gives the turn back, unless a later render began
// meanwhile (whose engine call starts clean anyway).
//
// Thread contract: plain state, guarded by the caller (the interpreter lock);
// only the waiting for a turn happens outside it, in the caller.
#pragma once

#include <cstdint>

namespace halvane::open {

class RenderTurns {
 public:
  using Id = uint64_t;       // a render of this avatar, from 1
  using Thread = uint64_t;   // a thread's identity, never 0

  enum class Stale : uint8_t { no, superseded, closed };

  // A render starts: it becomes current, the earlier one stale, and an owed
  // interrupt is forgotten.
  Id begin() noexcept;
  // Why render `id` may not drive the engine any more (no: it may).
  Stale stale(Id id) const noexcept;
  bool current(Id id) const noexcept { return id != 0 && id == current_; }
  // Render `id` ended (ran out, failed, closed): none is current after it.
  void finish(Id id) noexcept;
  // The avatar was closed: the current render becomes stale.
  void close() noexcept;

  // The turn for thread `t`: taken when free or already its own.
  bool take(Thread t) noexcept;
  // Taken only when free: a finaliser's way, which never re-enters an engine
  // call in progress, not even its own thread's.
  bool take_if_free(Thread t) noexcept;
  bool held() const noexcept { return depth_ > 0; }
  // One turn of `t` given back. True when the interrupt owed is due now
  // (the turn is free and no render began since it was owed); the caller
  // performs it, holding the turn again.
  bool give(Thread t) noexcept;
  // The current render left early while the turn was held elsewhere.
  void owe_interrupt() noexcept { owed_ = true; }

 private:
  Id last_ = 0, current_ = 0;
  bool closed_ = false;
  Thread owner_ = 0;
  uint32_t depth_ = 0;
  bool owed_ = false;
};

}  // namespace halvane::open
