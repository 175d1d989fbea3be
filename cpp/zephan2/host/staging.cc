#include "zephan2/host/staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/errors.h"
#include "common/fs.h"
#include "common/pyint.h"
#include "zephan2/host/log.h"

namespace z2 {
namespace {

std::mutex g_mu;
std::vector<std::string> g_staged;

using halvane::is_dir;

// Creates `path` with its missing parents, an existing directory counting as
// success; on failure the errno and the path that could not be made.
std::optional<std::pair<int, std::string>> make_dirs(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string parent = p.substr(0, slash);
    struct stat st;
    if (::stat(parent.c_str(), &st) != 0)
      if (auto err = make_dirs(parent); err && err->first != EEXIST) return err;
  }
  if (::mkdir(p.c_str(), 0777) != 0 && !(errno == EEXIST && is_dir(p))) return std::make_pair(errno, p);
  return std::nullopt;
}

}  // namespace

std::vector<std::string> staged_files() {
  std::lock_guard lk(g_mu);
  return g_staged;
}

std::string default_temp_dir() {
  for (const char* var : {"TMPDIR", "TEMP", "TMP"}) {
    const char* v = std::getenv(var);
    if (v && *v && is_dir(v)) return v;
  }
  return "/tmp";
}

std::optional<std::string> stage_dir() {
  const char* env = std::getenv("ZEPHAN2_STAGE_DIR");
  std::string dir(halvane::strip_ascii(env ? env : ""));
  if (dir.empty()) return std::nullopt;
  if (auto err = make_dirs(dir)) {
    elog("ZEPHAN2_STAGE_DIR=" + halvane::py_repr(dir) + " unusable ([Errno " + std::to_string(err->first) + "] " +
         std::strerror(err->first) + ": " + halvane::py_repr(err->second) +
         ") — staging in the default temp dir instead");
    return std::nullopt;
  }
  return dir;
}

std::string stage_tflite(std::string_view bundle, std::string_view nm, std::span<const unsigned char> data) {
  std::string b(bundle);
  if (is_dir(b)) {
    std::string in_place = halvane::join_path(b, nm);
    if (halvane::is_regular_file(in_place)) return in_place;
  }
  const std::string suffix = "_" + std::string(halvane::last_component(nm));
  std::string dir = stage_dir().value_or(default_temp_dir());
  std::string path = dir + (dir.back() == '/' ? "" : "/") + "tmpXXXXXX" + suffix;
  std::vector<char> tmpl(path.begin(), path.end());
  tmpl.push_back('\0');
  int fd = ::mkstemps(tmpl.data(), static_cast<int>(suffix.size()));
  if (fd < 0) throw halvane::OSError(errno, dir);
  path.assign(tmpl.data());
  try {
    write_all(fd, data.data(), data.size());
  } catch (const halvane::OSError& e) {
    ::close(fd);
    ::unlink(path.c_str());
    throw halvane::OSError(e.err, path);
  }
  if (::close(fd) != 0) {
    int e = errno;
    ::unlink(path.c_str());
    throw halvane::OSError(e, path);
  }
  std::lock_guard lk(g_mu);
  g_staged.push_back(path);
  return path;
}

void release_staged(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) {
    {
      std::lock_guard lk(g_mu);
      if (std::find(g_staged.begin(), g_staged.end(), p) == g_staged.end()) continue;
    }
    if (::unlink(p.c_str()) != 0) continue;  // stays listed for the exit hook
    std::lock_guard lk(g_mu);
    auto it = std::find(g_staged.begin(), g_staged.end(), p);
    if (it != g_staged.end()) g_staged.erase(it);
  }
}

void drop_staged() {
  for (;;) {
    std::string p;
    {
      std::lock_guard lk(g_mu);
      if (g_staged.empty()) return;
      p = std::move(g_staged.back());
      g_staged.pop_back();
    }
    ::unlink(p.c_str());
  }
}

}  // namespace z2
