#include "open/render_turns.h"

namespace halvane::open {

RenderTurns::Id RenderTurns::begin() noexcept {
  current_ = ++last_;
  owed_ = false;
  return current_;
}

RenderTurns::Stale RenderTurns::stale(Id id) const noexcept {
  if (current(id)) return Stale::no;
  return closed_ ? Stale::closed : Stale::superseded;
}

void RenderTurns::finish(Id id) noexcept {
  if (current(id)) current_ = 0;
}

void RenderTurns::close() noexcept {
  closed_ = true;
  current_ = 0;
}

bool RenderTurns::take(Thread t) noexcept {
  if (depth_ > 0 && owner_ != t) return false;
  owner_ = t;
  ++depth_;
  return true;
}

bool RenderTurns::take_if_free(Thread t) noexcept { return depth_ == 0 && take(t); }

bool RenderTurns::give(Thread t) noexcept {
  if (depth_ == 0 || owner_ != t) return false;
  if (--depth_ > 0) return false;
  owner_ = 0;
  if (!owed_) return false;
  owed_ = false;
  return true;
}

}  // namespace halvane::open
