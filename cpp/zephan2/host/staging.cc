#include "zephan2/host/staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/errors.h"
#include "common/fs.h"
#include "common/text.h"
#include "zephan2/host/log.h"
#include "zephan2/host/protocol.h"
#include "zephan2/messages.h"

namespace halvane::zephan2 {
namespace {

constexpr std::string_view kPrefix = "tessel-stage-";

struct Staged {
  std::string path;
  int fd;  // holds the file's flock while it is listed
};

std::mutex g_mu;
std::vector<Staged> g_staged;

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

// Takes the entry for `path` out of the registry; its descriptor, or -1.
int unlist(const std::string& path) {
  std::lock_guard lk(g_mu);
  auto it = std::find_if(g_staged.begin(), g_staged.end(), [&](const Staged& s) { return s.path == path; });
  if (it == g_staged.end()) return -1;
  const int fd = it->fd;
  g_staged.erase(it);
  return fd;
}

bool listed(const std::string& path) {
  std::lock_guard lk(g_mu);
  return std::any_of(g_staged.begin(), g_staged.end(), [&](const Staged& s) { return s.path == path; });
}

// A new, empty, locked staged file. The lock is taken before anyone else's
// sweep could remove the file; should one have removed it in between, a
// fresh name is drawn.
std::pair<std::string, int> create_locked(const std::string& dir, const std::string& suffix,
                                         std::string_view member) {
  for (;;) {
    std::string path = halvane::join_path(dir, std::string(kPrefix) + "XXXXXX" + suffix);
    const int fd = ::mkostemps(path.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0) throw StageFailed(errno, dir, dir, std::string(member));
    struct stat st;
    if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &st) == 0 && st.st_nlink > 0) return {path, fd};
    ::close(fd);
  }
}

}  // namespace

std::vector<std::string> staged_files() {
  std::lock_guard lk(g_mu);
  std::vector<std::string> out;
  for (const Staged& s : g_staged) out.push_back(s.path);
  return out;
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
    elog(msg::stage_dir_unusable(dir, err->first, std::strerror(err->first), err->second));
    return std::nullopt;
  }
  return dir;
}

void sweep_stage_leftovers(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  std::unique_ptr<DIR, int (*)(DIR*)> closer(d, ::closedir);
  const uid_t me = ::geteuid();
  while (const dirent* e = ::readdir(d)) {
    const std::string_view nm(e->d_name);
    if (!nm.starts_with(kPrefix)) continue;
    const int fd = ::openat(::dirfd(d), e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held, now;
    // Only our own regular files, and only those no live host holds locked;
    // the name must still lead to the very file that was locked.
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_uid == me && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::fstatat(::dirfd(d), e->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == held.st_dev &&
        now.st_ino == held.st_ino)
      ::unlinkat(::dirfd(d), e->d_name, 0);
    ::close(fd);
  }
}

std::string stage_tflite(std::string_view bundle, std::string_view nm, const std::function<void(int)>& fill) {
  const std::string b(bundle);
  if (is_dir(b)) {
    std::string in_place = halvane::join_path(b, nm);
    if (halvane::is_regular_file(in_place)) return in_place;
  }
  const std::string suffix = "_" + std::string(halvane::last_component(nm));
  const std::string dir = stage_dir().value_or(default_temp_dir());
  sweep_stage_leftovers(dir);
  auto [path, fd] = create_locked(dir, suffix, nm);
  const auto discard = [&, &path = path, fd = fd] {
    ::unlink(path.c_str());
    ::close(fd);
  };
  try {
    fill(fd);
  } catch (const halvane::OSError& e) {
    discard();
    // Only a failed write of the staged file (no filename of its own) is the
    // staging folder's fault; a failed read of the bundle names the bundle.
    if (!e.filename.empty()) throw;
    throw StageFailed(e.err, path, dir, std::string(nm));
  } catch (...) {
    discard();
    throw;
  }
  std::lock_guard lk(g_mu);
  g_staged.push_back({path, fd});
  return path;
}

std::string stage_member(const halvane::Bundle& bundle, const std::string& nm) {
  if (auto in_place = bundle.file_of(nm)) return *in_place;
  return stage_tflite(bundle.path(), nm, [&](int fd) {
    bundle.for_each_block(nm, [&](const char* p, size_t n) {
      write_all(fd, p, n);
      check_stop();
    });
  });
}

void release_staged(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) {
    if (!listed(p)) continue;
    if (::unlink(p.c_str()) != 0) continue;  // stays listed for the exit hook
    if (const int fd = unlist(p); fd >= 0) ::close(fd);
  }
}

void drop_staged() {
  for (;;) {
    Staged s;
    {
      std::lock_guard lk(g_mu);
      if (g_staged.empty()) return;
      s = std::move(g_staged.back());
      g_staged.pop_back();
    }
    ::unlink(s.path.c_str());
    ::close(s.fd);
  }
}

}  // namespace halvane::zephan2
