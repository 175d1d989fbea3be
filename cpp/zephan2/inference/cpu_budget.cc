#include "zephan2/inference/cpu_budget.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "common/errors.h"
#include "common/text.h"
#include "zephan2/messages.h"

namespace halvane::zephan2 {
namespace {

std::optional<std::string> read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return std::nullopt;
  std::ostringstream ss;
  ss << f.rdbuf();
  if (f.bad()) return std::nullopt;
  return ss.str();
}

using halvane::IntParse;
using halvane::parse_py_int;
using halvane::strip_ascii;

std::vector<std::string_view> split_ws(std::string_view s) {
  std::vector<std::string_view> out;
  while (!(s = strip_ascii(s)).empty()) {
    size_t i = 0;
    while (i < s.size() && !strip_ascii(s.substr(i, 1)).empty()) ++i;
    out.push_back(s.substr(0, i));
    s.remove_prefix(i);
  }
  return out;
}

int64_t affinity_count() {
  for (size_t ncpu = 1024; ncpu <= (1u << 20); ncpu *= 2) {
    cpu_set_t* set = CPU_ALLOC(ncpu);
    if (!set) return -1;
    size_t sz = CPU_ALLOC_SIZE(ncpu);
    CPU_ZERO_S(sz, set);
    if (sched_getaffinity(0, sz, set) == 0) {
      int c = CPU_COUNT_S(sz, set);
      CPU_FREE(set);
      return c;
    }
    int e = errno;
    CPU_FREE(set);
    if (e != EINVAL) return -1;
  }
  return -1;
}

// The cgroup v2 path of this process: the "0::" line without its prefix and
// trailing slashes. The file is handled as bytes: a path that is not valid
// UTF-8 is still just a path.
std::string cgroup_v2_rel(const std::string& proc_cgroup) {
  auto text = read_text(proc_cgroup);
  if (!text) return {};
  std::string_view rest = *text;
  while (!rest.empty()) {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    if (line.substr(0, 3) == "0::") {
      std::string_view rel = strip_ascii(line);
      rel = rel.size() >= 3 ? rel.substr(3) : std::string_view{};
      while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
      return std::string(rel);
    }
  }
  return {};
}

}  // namespace

int64_t effective_cpu_count(const CpuProbe& probe) {
  int64_t n = probe.system_cpus >= 0 ? probe.system_cpus : sysconf(_SC_NPROCESSORS_ONLN);
  if (n <= 0) n = 8;
  if (probe.use_affinity) {
    int64_t a = affinity_count();
    if (a >= 0) n = std::min(n, a);
  }

  std::optional<double> quota;
  bool found = false;
  std::string d = probe.cgroup_root + cgroup_v2_rel(probe.proc_cgroup);
  for (;;) {
    if (auto text = read_text(d + "/cpu.max")) {
      auto f = split_ws(*text);
      if (f.size() >= 2) {
        found = true;
        int64_t q = 0, p = 0;
        if (f[0] != "max" && parse_py_int(f[1], p) == IntParse::ok && p > 0 &&
            parse_py_int(f[0], q) == IntParse::ok) {
          double level = static_cast<double>(q) / static_cast<double>(p);
          quota = quota ? std::min(*quota, level) : level;
        }
      }
    }
    if (d.size() <= probe.cgroup_root.size()) break;
    size_t slash = d.rfind('/');
    if (slash == std::string::npos) break;
    d.resize(slash);
  }

  if (!found) {
    auto qt = read_text(probe.v1_quota);
    int64_t q = 0, p = 0;
    if (qt && parse_py_int(*qt, q) == IntParse::ok) {
      auto pt = read_text(probe.v1_period);
      if (pt && parse_py_int(*pt, p) == IntParse::ok && q > 0 && p > 0)
        quota = static_cast<double>(q) / static_cast<double>(p);
    }
  }

  // Compare as a real number first: a quota beyond the int64 range must not be cast.
  if (quota && *quota > 0 && std::ceil(*quota) < static_cast<double>(n))
    n = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(*quota)));
  return std::max<int64_t>(1, n);
}

int64_t parse_thread_count(std::string_view text, std::string_view what) {
  int64_t v = 0;
  switch (parse_py_int(text, v)) {
    case IntParse::ok:
      return v;
    case IntParse::invalid:
      throw halvane::ValueError(msg::invalid_int_literal(text));
    case IntParse::out_of_range:
      break;
  }
  if (strip_ascii(text).starts_with('-')) return INT64_MIN;
  throw halvane::ValueError(msg::thread_count_range(what, text));
}

int64_t default_threads(int64_t n_interpreters, int64_t requested, std::optional<std::string_view> libstream_threads) {
  int64_t t = requested;
  if (t <= 0) {
    std::string_view raw = strip_ascii(libstream_threads.value_or("0"));
    t = raw.empty() ? 0 : parse_thread_count(raw, "LIBSTREAM_THREADS");
  }
  if (t <= 0) t = std::min<int64_t>(effective_cpu_count(), 24);
  if (n_interpreters > 1) t = std::min(t, std::max<int64_t>(1, effective_cpu_count() / 2));
  return std::max<int64_t>(1, t);
}

}  // namespace halvane::zephan2
