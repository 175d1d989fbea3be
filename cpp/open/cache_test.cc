// The turn to materialise: a thread waiting for it sleeps until the turn is
// free, a signal wakes it to ask its stop check, and a check that looks too
// soon after the signal to see it is asked again.
#include "open/cache.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using halvane::open::lock_or_stop;
using halvane::open::Turn;
using namespace std::chrono_literals;

constexpr auto kBound = 10s;  // a wait that never ends fails the test instead

std::atomic<int> g_signals{0};
void count_signal(int) { g_signals.fetch_add(1); }

// SIGUSR1 counted in g_signals while it lives, with the given sigaction flags.
struct CountedSignal {
  explicit CountedSignal(int flags) {
    struct sigaction sa {};
    sa.sa_handler = count_signal;
    sa.sa_flags = flags;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGUSR1, &sa, &old);
  }
  ~CountedSignal() { ::sigaction(SIGUSR1, &old, nullptr); }
  struct sigaction old {};
};

// lock_or_stop() on a thread of its own, against a turn the test holds.
// `answer(signals seen)` is the stop check's reply.
class Waiter {
 public:
  template <typename Answer>
  Waiter(Turn& t, Answer answer) : base_(g_signals.load()) {
    thread_ = std::thread([this, &t, answer] {
      try {
        lock_or_stop(t, [&] {
          if (checks_.fetch_add(1) == 0) asked_.set_value();
          return answer(g_signals.load() - base_);
        });
        t.unlock();
        ended_.set_value(true);
      } catch (const halvane::Stopped&) {
        ended_.set_value(false);
      }
    });
  }
  ~Waiter() { thread_.join(); }

  bool asked() { return asked_.get_future().wait_for(kBound) == std::future_status::ready; }
  void signal() { ::pthread_kill(thread_.native_handle(), SIGUSR1); }
  int checks() const { return checks_.load(); }
  std::future<bool>& ended() { return end_; }

 private:
  int base_;
  std::atomic<int> checks_{0};
  std::promise<void> asked_;
  std::promise<bool> ended_;
  std::future<bool> end_ = ended_.get_future();
  std::thread thread_;
};

struct SignalRow {
  const char* name;
  int flags;        // of the handler
  bool looks_late;  // the first check after the signal does not see it yet
};

class TurnSignal : public ::testing::TestWithParam<SignalRow> {};

TEST_P(TurnSignal, EndsTheWaitWhenTheCheckSaysStop) {
  const SignalRow row = GetParam();
  const CountedSignal counted(row.flags);
  Turn t;
  ASSERT_TRUE(t.try_lock());
  int late = 0;
  Waiter w(t, [&](int seen) { return seen > 0 && (!row.looks_late || ++late > 1); });
  ASSERT_TRUE(w.asked());
  // Asleep while the turn is taken: asked once before it waits, not again.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(w.checks(), 1);
  w.signal();
  const bool ready = w.ended().wait_for(kBound) == std::future_status::ready;
  if (!ready) t.unlock();  // lets the stuck waiter end
  ASSERT_TRUE(ready);
  EXPECT_FALSE(w.ended().get());
  EXPECT_LE(w.checks(), 3);
  t.unlock();
  EXPECT_TRUE(t.try_lock());  // the stopped waiter took nothing
}

INSTANTIATE_TEST_SUITE_P(Handlers, TurnSignal,
                         ::testing::Values(SignalRow{"no_restart", 0, false},
                                           SignalRow{"restart", SA_RESTART, false},
                                           SignalRow{"check_looks_late", 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Turn, SignalTheCheckLetsPassKeepsWaiting) {
  const CountedSignal counted(0);
  Turn t;
  ASSERT_TRUE(t.try_lock());
  Waiter w(t, [](int) { return false; });
  ASSERT_TRUE(w.asked());
  std::this_thread::sleep_for(100ms);
  w.signal();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(w.ended().wait_for(0s), std::future_status::timeout);
  EXPECT_LE(w.checks(), 3);  // looked again after the signal, then went back to sleep
  t.unlock();
  ASSERT_EQ(w.ended().wait_for(kBound), std::future_status::ready);
  EXPECT_TRUE(w.ended().get());
}

TEST(Turn, OneHolderAtATime) {
  Turn t;
  t.unlock();  // held by nobody: adds no second turn
  ASSERT_TRUE(t.try_lock());
  EXPECT_FALSE(t.try_lock());
  t.unlock();
  t.unlock();
  EXPECT_TRUE(t.try_lock());
  EXPECT_FALSE(t.try_lock());
}

}  // namespace
