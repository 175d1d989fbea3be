// The program's side of the compute core's settings: the values the core
// takes as parameters, read here from the process environment, its reports
// written to the host log, and the process-wide RGB worker pool.
//
// Thread contract: any thread; the pool is created under a lock.
#pragma once

#include <cstdint>

#include "zephan2/inference/rgb888.h"

namespace halvane::zephan2 {

// default_threads with the LIBSTREAM_THREADS environment variable.
int64_t host_default_threads(int64_t n_interpreters, int64_t requested);

// rgb_threads with the ZEPHAN2_RGB_THREADS environment variable; a value that
// is not an integer is logged.
int64_t host_rgb_threads();

// The process-wide RGB pool: created by the first parallel chunk with that
// chunk's worker count, then kept as it is (never resized, never shut down)
// for the life of the process. A forked child starts without one.
RgbPool& host_rgb_pool(int64_t n);

// Workers of the process-wide pool; 0 before its first use.
int64_t host_rgb_pool_size();

// A renderer's RGB settings in the program: host_rgb_threads() workers per
// chunk from the process-wide pool.
RgbSettings host_rgb_settings();

}  // namespace halvane::zephan2
