// What a live session does to the items already in one of its queues
// without waiting: takes them all, empties it, or keeps only some of them in
// their order (an interrupt keeps the end of the stream and forwarded
// failures, a new session drops the ends an earlier one left, the start of
// speech drops the resting frames queued before it, a put that completed
// across an interrupt takes its item out again).
//
// Q is the queue as the caller sees it: `Item`, empty(), get_nowait() and
// put_nowait(item). Nothing here waits: keep_in_order() takes every item out
// and puts the kept ones back before it returns, so on the event loop no
// other task sees the queue half done. No Python here. Not thread-safe: one
// caller at a time, the loop's thread.
#pragma once

#include <utility>
#include <vector>

namespace halvane::avatar {

// Hands each item to take(item), in order, until the queue is empty.
template <class Q, class Take>
void take_all(Q& q, Take&& take) {
  while (!q.empty()) take(q.get_nowait());
}

template <class Q>
void drain(Q& q) {
  take_all(q, [](const typename Q::Item&) {});
}

// Keeps the items for which keep(item) holds, in their order.
template <class Q, class Keep>
void keep_in_order(Q& q, Keep&& keep) {
  std::vector<typename Q::Item> kept;
  while (!q.empty()) {
    typename Q::Item item = q.get_nowait();
    if (keep(item)) kept.push_back(std::move(item));
  }
  for (typename Q::Item& item : kept) q.put_nowait(item);
}

}  // namespace halvane::avatar
