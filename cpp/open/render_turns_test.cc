// The one-render-at-a-time rule of an avatar: which render is stale and why,
// and who performs an interrupt that a finaliser could not.
#include "open/render_turns.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using halvane::open::RenderTurns;
using Stale = RenderTurns::Stale;

TEST(RenderTurns, ALaterRenderOrACloseMakesTheEarlierStale) {
  RenderTurns t;
  const auto a = t.begin();
  EXPECT_EQ(t.stale(a), Stale::no);
  const auto b = t.begin();
  EXPECT_EQ(t.stale(a), Stale::superseded);
  EXPECT_EQ(t.stale(b), Stale::no);
  t.finish(a);  // the stale one ending leaves the later current
  EXPECT_TRUE(t.current(b));
  t.close();
  EXPECT_EQ(t.stale(b), Stale::closed);
  EXPECT_EQ(t.stale(a), Stale::closed);

  RenderTurns ended;
  const auto c = ended.begin();
  ended.finish(c);
  EXPECT_FALSE(ended.current(c));
  EXPECT_FALSE(ended.current(0));
}

// One step of a script: which thread does what, and what it must see.
struct Step {
  const char* what;  // take, take_if_free, give, owe, begin
  RenderTurns::Thread thread;
  bool expect;       // take*: granted; give: the owed interrupt is due now
};

struct Case {
  const char* name;
  std::vector<Step> steps;
};

class Turns : public ::testing::TestWithParam<Case> {};

TEST_P(Turns, Script) {
  RenderTurns t;
  t.begin();
  int i = 0;
  for (const Step& s : GetParam().steps) {
    const std::string what = s.what;
    bool got = false;
    if (what == "take") got = t.take(s.thread);
    else if (what == "take_if_free") got = t.take_if_free(s.thread);
    else if (what == "give") got = t.give(s.thread);
    else if (what == "owe") t.owe_interrupt();
    else if (what == "begin") t.begin();
    if (what != "owe" && what != "begin") EXPECT_EQ(got, s.expect) << "step " << i << " (" << what << ")";
    ++i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    RenderTurns, Turns,
    ::testing::Values(
        Case{"another_thread_waits", {{"take", 1, true}, {"take", 2, false}, {"give", 1, false}, {"take", 2, true}}},
        Case{"reentrant_on_its_own_thread",
             {{"take", 1, true}, {"take", 1, true}, {"give", 1, false}, {"take", 2, false}, {"give", 1, false},
              {"take", 2, true}}},
        // A finaliser never re-enters an engine call, not even on the thread making it.
        Case{"finaliser_takes_only_a_free_turn",
             {{"take", 1, true}, {"take_if_free", 1, false}, {"take_if_free", 2, false}, {"give", 1, false},
              {"take_if_free", 2, true}}},
        Case{"owed_interrupt_done_by_the_last_give",
             {{"take", 1, true}, {"take", 1, true}, {"owe", 2, false}, {"give", 1, false}, {"give", 1, true},
              {"take", 1, true}, {"give", 1, false}}},
        // A render that began meanwhile starts clean: the owed interrupt would hit it.
        Case{"owed_interrupt_forgotten_by_a_later_render",
             {{"take", 1, true}, {"owe", 2, false}, {"begin", 2, false}, {"give", 1, false}}},
        Case{"a_give_by_a_thread_not_holding_it_changes_nothing",
             {{"take", 1, true}, {"owe", 1, false}, {"give", 2, false}, {"take", 2, false}, {"give", 1, true}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
