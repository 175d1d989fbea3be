// The process's monotonic high-resolution clock, in seconds.
#pragma once

#include <chrono>

namespace halvane {

inline double now_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace halvane
