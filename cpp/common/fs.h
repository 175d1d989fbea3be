// File-system questions asked the way the host's paths are meant: symbolic
// links followed, every failure a plain "no", paths joined textually.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace halvane {

inline bool has_kind(const std::string& p, mode_t kind) {
  struct stat st;
  return p.find('\0') == std::string::npos && ::stat(p.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind;
}
inline bool is_dir(const std::string& p) { return has_kind(p, S_IFDIR); }
inline bool is_regular_file(const std::string& p) { return has_kind(p, S_IFREG); }

// `dir` and `name` joined by one "/" (none added after a trailing "/").
inline std::string join_path(std::string_view dir, std::string_view name) {
  std::string r(dir);
  if (!r.empty() && r.back() != '/') r += '/';
  return r += name;
}

// The part after the last "/" (the whole text when there is none).
inline std::string_view last_component(std::string_view p) {
  const size_t s = p.rfind('/');
  return s == std::string_view::npos ? p : p.substr(s + 1);
}

// A descriptor closed when it goes out of scope (-1: none).
struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int release() { return std::exchange(fd, -1); }
};

// Long file-system work (hashing a file, unpacking, waiting for a lock) asks
// its caller's `stop` between steps; a true answer ends the work with Stopped,
// which no best-effort step swallows. An empty `stop` never stops.
using StopCheck = std::function<bool()>;
struct Stopped : std::exception {
  const char* what() const noexcept override { return "stopped"; }
};
inline void stop_point(const StopCheck& stop) {
  if (stop && stop()) throw Stopped();
}

}  // namespace halvane
