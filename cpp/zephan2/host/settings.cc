#include "zephan2/host/settings.h"

#include <pthread.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "zephan2/host/log.h"
#include "zephan2/inference/constants.h"
#include "zephan2/inference/cpu_budget.h"

namespace halvane::zephan2 {

namespace {

std::optional<std::string_view> env_value(std::string_view name) {
  const char* v = std::getenv(std::string(name).c_str());
  if (!v) return std::nullopt;
  return std::string_view(v);
}

// Deliberately leaked, like the pool itself: workers block on the pool's
// condition variable until the process ends, so nothing they use may be
// destroyed at exit.
struct PoolState {
  std::mutex lock;
  RgbPool* pool = nullptr;
};

PoolState* g_state = nullptr;
std::once_flag g_state_once;

// A forked child has none of the parent's workers; it starts afresh.
void reset_in_child() { g_state = new PoolState; }

PoolState& state() {
  std::call_once(g_state_once, [] {
    g_state = new PoolState;
    pthread_atfork(nullptr, nullptr, &reset_in_child);
  });
  return *g_state;
}

}  // namespace

int64_t host_default_threads(int64_t n_interpreters, int64_t requested) {
  return default_threads(n_interpreters, requested, env_value("LIBSTREAM_THREADS"));
}

int64_t host_rgb_threads() {
  return rgb_threads(env_value(RGB_THREADS_ENV), [](std::string_view line) { elog(line); });
}

RgbPool& host_rgb_pool(int64_t n) {
  PoolState& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  if (!s.pool) s.pool = new RgbPool(n, "z2-rgb");
  return *s.pool;
}

int64_t host_rgb_pool_size() {
  PoolState& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  return s.pool ? s.pool->size() : 0;
}

RgbSettings host_rgb_settings() { return {host_rgb_threads(), &host_rgb_pool}; }

}  // namespace halvane::zephan2
