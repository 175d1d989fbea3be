// The queue rules: what stays, and in which order.
#include "avatar/queue.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace {

using namespace halvane::avatar;

// A queue of ints that records how it was used.
struct Fake {
  using Item = int;
  std::deque<int> items;
  int gets = 0, puts = 0;
  bool empty() const { return items.empty(); }
  int get_nowait() {
    ++gets;
    int v = items.front();
    items.pop_front();
    return v;
  }
  void put_nowait(int v) {
    ++puts;
    items.push_back(v);
  }
};

TEST(Queue, KeepsTheChosenItemsInOrderTakesAllOrDrains) {
  struct Row {
    std::vector<int> before;
    std::vector<int> after;  // keeping the even ones
  } rows[] = {
      {{}, {}},
      {{1, 3, 5}, {}},
      {{2, 4}, {2, 4}},
      {{1, 2, 3, 4, 6, 7}, {2, 4, 6}},
  };
  for (const Row& r : rows) {
    Fake q{{r.before.begin(), r.before.end()}};
    keep_in_order(q, [](int v) { return v % 2 == 0; });
    EXPECT_EQ(std::vector<int>(q.items.begin(), q.items.end()), r.after);
    EXPECT_EQ(q.gets, static_cast<int>(r.before.size()));  // every item left once
    EXPECT_EQ(q.puts, static_cast<int>(r.after.size()));

    Fake d{{r.before.begin(), r.before.end()}};
    drain(d);
    EXPECT_TRUE(d.items.empty());
    EXPECT_EQ(d.puts, 0);

    Fake t{{r.before.begin(), r.before.end()}};
    std::vector<int> taken;
    take_all(t, [&](int v) { taken.push_back(v); });
    EXPECT_EQ(taken, r.before);
    EXPECT_TRUE(t.items.empty());
  }
}

}  // namespace
