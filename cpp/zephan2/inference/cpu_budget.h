// How many processors the process may really use, and the LiteRT interpreter
// thread count derived from it.
//
// effective_cpu_count: the system's processor count, cut down by the affinity
// mask and by the tightest cgroup CPU quota (v2 cpu.max at every level from
// the process's own cgroup up to the root; v1 cfs files only when no v2 level
// could be read). Missing or malformed files are skipped, never fatal.
//
// Thread contract: reentrant; reads files, caches nothing. Settings come
// from the caller: nothing here reads the environment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halvane::zephan2 {

// Where the probe looks; tests point these at a fake tree.
struct CpuProbe {
  std::string proc_cgroup = "/proc/self/cgroup";
  std::string cgroup_root = "/sys/fs/cgroup";
  std::string v1_quota = "/sys/fs/cgroup/cpu/cpu.cfs_quota_us";
  std::string v1_period = "/sys/fs/cgroup/cpu/cpu.cfs_period_us";
  int64_t system_cpus = -1;  // -1: ask the system
  bool use_affinity = true;
};

int64_t effective_cpu_count(const CpuProbe& probe = CpuProbe{});

// The interpreter thread count: `requested` when positive, else the
// LIBSTREAM_THREADS setting's text (nullopt when it is not set), else the
// usable processors capped at 24; with two or more interpreters at most half
// the usable processors. Raises halvane::ValueError when the setting must be
// used and is not an integer in the 64-bit range.
int64_t default_threads(int64_t n_interpreters, int64_t requested, std::optional<std::string_view> libstream_threads);

// A thread count in Python's int() grammar. Raises halvane::ValueError for a
// text that is no integer, or a positive one beyond 64 bits (`what` names
// the source); a negative one beyond 64 bits is just negative: not given.
int64_t parse_thread_count(std::string_view text, std::string_view what);

}  // namespace halvane::zephan2
