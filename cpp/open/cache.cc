#include "open/cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/file.h"
#include "common/fs.h"
#include "common/sha256.h"
#include "common/text.h"
#include "open/messages.h"

namespace halvane::open {
namespace {

constexpr const char* kManifest = "manifest.json";
constexpr size_t kKeyDigits = 32;
constexpr uint64_t kMemoMaxBytes = 1 << 20;

// Where this process sets aside an entry that lost its marker.
std::string incomplete_aside(const std::string& entry) {
  return entry + ".incomplete.tmp." + std::to_string(::getpid());
}

int openat_cloexec(int dir, const char* path, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::openat(dir, path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// A directory under `dir`, never through a link standing under its name.
int open_dir_at(int dir, const std::string& name) {
  return openat_cloexec(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

bool mine(const struct stat& st) { return st.st_uid == ::geteuid(); }
bool only_mine(const struct stat& st) { return mine(st) && !(st.st_mode & (S_IWGRP | S_IWOTH)); }

// The entry's marker opened read-only for a lock: neither the entry nor the
// marker followed when it is a link, and without blocking (a FIFO there never
// holds the open). -1 with errno ENOENT for a marker that is no regular file
// of this user in a directory of this user.
int open_marker(int at, const std::string& entry) {
  Fd dir(open_dir_at(at, entry));
  struct stat st;
  if (dir.fd < 0 || ::fstat(dir.fd, &st) != 0 || !mine(st)) {
    errno = dir.fd < 0 && errno != ELOOP ? errno : ENOENT;
    return -1;
  }
  int fd;
  do fd = ::openat(dir.fd, kManifest, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ELOOP) errno = ENOENT;
    return -1;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !mine(st)) {
    ::close(fd);
    errno = ENOENT;
    return -1;
  }
  return fd;
}

// Whether the directory open as `dfd` (status `dir`) is a complete entry of
// this user: its marker a regular file of this user, not a link.
bool complete_at(int dfd, const struct stat& dir) {
  struct stat marker;
  return mine(dir) && ::fstatat(dfd, kManifest, &marker, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(marker.st_mode) &&
         mine(marker);
}

// Python's str.isspace() for a code point.
bool is_py_space(uint32_t c) {
  return (c >= 9 && c <= 13) || (c >= 28 && c <= 32) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Decodes the code point of valid UTF-8 starting at s[i]; returns its length.
size_t decode_at(std::string_view s, size_t i, uint32_t& cp) {
  const auto b = static_cast<unsigned char>(s[i]);
  const size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  cp = n == 1 ? b : b & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return n;
}

// Python's str.strip() of valid UTF-8 text.
std::string_view strip_py(std::string_view s) {
  size_t b = 0, e = s.size();
  uint32_t cp;
  while (b < e) {
    const size_t n = decode_at(s, b, cp);
    if (!is_py_space(cp)) break;
    b += n;
  }
  while (e > b) {
    size_t start = e - 1;
    while (start > b && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    decode_at(s, start, cp);
    if (!is_py_space(cp)) break;
    e = start;
  }
  return s.substr(b, e - b);
}

bool is_key_digits(std::string_view s) {
  return s.size() == kKeyDigits &&
         std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool same_stamp(const struct stat& s, const FileStamp& st) {
  return static_cast<int64_t>(s.st_size) == st.size && static_cast<uint64_t>(s.st_ino) == st.ino &&
         int64_t{s.st_mtim.tv_sec} * 1000000000 + s.st_mtim.tv_nsec == st.mtime_ns;
}

// The ".idx" of `d` open for a memo to be written: the avatars folder made
// and opened first when it is not, ".idx" made (0700) when missing. False
// when either cannot be had, or when ".idx" is not this user's alone.
bool open_idx(CacheDirs& d) noexcept {
  try {
    if (d.dir.fd < 0) open_cache_dirs(d, true);
  } catch (...) {
    return false;
  }
  if (d.idx.fd < 0) {
    if (::mkdirat(d.dir.fd, ".idx", 0700) != 0 && errno != EEXIST) return false;
    d.idx.fd = open_dir_at(d.dir.fd, ".idx");
    if (d.idx.fd < 0) return false;
  }
  struct stat st;
  return ::fstat(d.idx.fd, &st) == 0 && only_mine(st);
}

// Writes `key` to "<memo>.<pid>" and renames it over the memo `name`;
// silent on error.
void write_memo(CacheDirs& d, const std::string& name, const std::string& key) noexcept {
  if (!open_idx(d)) return;
  // The temporary is always a new file of this process: whatever already
  // stands under its name (a leftover, or a link planted there) is unlinked,
  // never written through.
  const int idx = d.idx.fd;
  const std::string tmp = name + "." + std::to_string(::getpid());
  constexpr int kNew = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
  Fd fd(openat_cloexec(idx, tmp.c_str(), kNew, 0666));
  if (fd.fd < 0 && errno == EEXIST && ::unlinkat(idx, tmp.c_str(), 0) == 0)
    fd.fd = openat_cloexec(idx, tmp.c_str(), kNew, 0666);
  if (fd.fd < 0) return;
  size_t done = 0;
  while (done < key.size()) {
    const ssize_t n = ::write(fd.fd, key.data() + done, key.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd.release()) != 0) return;
  ::renameat(idx, tmp.c_str(), idx, name.c_str());
}

// Removes everything inside the directory open as `dfd` (taken over).
void clear_dir_fd(int dfd) noexcept {
  DIR* d = ::fdopendir(dfd);
  if (!d) {
    ::close(dfd);
    return;
  }
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d)) {
    const std::string_view n = e->d_name;
    if (n != "." && n != "..") names.emplace_back(n);
  }
  const int fd = ::dirfd(d);
  for (const std::string& n : names) {
    // unlinkat without AT_REMOVEDIR removes files and links alike (the link,
    // never its target) and refuses directories, which are emptied first.
    if (::unlinkat(fd, n.c_str(), 0) == 0 || (errno != EISDIR && errno != EPERM)) continue;
    const int sub = ::openat(fd, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) continue;
    clear_dir_fd(sub);
    ::unlinkat(fd, n.c_str(), AT_REMOVEDIR);
  }
  ::closedir(d);
}

struct Candidate {
  double idle;
  uint64_t size;
  std::string path;
  std::string name;  // in the avatars folder
};

// An exclusive, non-blocking lock on the entry's marker: the descriptor, -1
// when some process holds the entry, -2 when there is no marker to lock.
int lock_exclusive(int dir, const std::string& entry) {
  const int fd = open_marker(dir, entry);
  if (fd < 0) return -2;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool exists_nofollow(int dir, const std::string& p) {
  struct stat st;
  return ::fstatat(dir, p.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Removes an entry that nobody holds: moved out of the way first, under the
// exclusive lock when there is one, so no process finds it half-removed and
// none can take a hold on it between the probe and the removal. True when
// the entry's space is free again.
bool evict(int dir, const std::string& entry, bool locks) {
  Fd lock(-1);
  if (locks) {
    lock.fd = lock_exclusive(dir, entry);
    if (lock.fd == -1) return false;  // held
    if (lock.fd == -2) {
      // No marker to lock: the entry lost it, or it was moved away just
      // now and a new one, held by its publisher, may stand under the name
      // by the time it would be renamed. It is judged as a heal judges it,
      // by the directory itself, never by the name alone.
      if (!set_aside_incomplete(dir, entry)) return false;
      const std::string aside = incomplete_aside(entry);
      if (!entry_complete(dir, aside)) remove_tree(dir, aside);
      return !exists_nofollow(dir, entry);
    }
    // The marker may have been opened just before another sweep moved its
    // entry away, and locked once that sweep let go: by then a new entry of
    // the same name, perhaps held, stands there. Only the entry whose marker
    // is locked here is moved away; no other sweep can move it meanwhile.
    if (!holds_marker(lock.fd, dir, entry)) return false;
  }
  const std::string doomed = entry + ".tmp." + std::to_string(::getpid());
  remove_tree(dir, doomed);
  if (::renameat(dir, entry.c_str(), dir, doomed.c_str()) != 0) return !exists_nofollow(dir, entry);
  ::close(lock.release());
  remove_tree(dir, doomed);
  return !exists_nofollow(dir, doomed);
}

}  // namespace

std::string expand_user(const std::string& p) {
  if (p.empty() || p[0] != '~') return p;
  size_t i = p.find('/', 1);
  if (i == std::string::npos) i = p.size();
  std::string home;
  std::vector<char> buf(16384);
  struct passwd pw, *res = nullptr;
  if (i == 1) {
    if (const char* h = std::getenv("HOME")) {
      home = h;
    } else {
      if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &res) != 0 || !res) return p;
      home = res->pw_dir;
    }
  } else {
    const std::string name = p.substr(1, i - 1);
    if (name.find('\0') != std::string::npos) return p;
    if (::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &res) != 0 || !res) return p;
    home = res->pw_dir;
  }
  while (!home.empty() && home.back() == '/') home.pop_back();
  std::string out = home + p.substr(i);
  return out.empty() ? "/" : out;
}

std::string cache_root() {
  const char* v = std::getenv("HALVANE_CACHE_DIR");
  return expand_user(v ? std::string(v) : std::string("~/.cache/halvane"));
}

std::optional<double> parse_py_float(std::string_view text) {
  std::string_view s = strip_ascii(text);
  std::string clean;
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') clean += '-';
    ++i;
  }
  std::string rest(s.substr(i));
  std::string lower = rest;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (lower == "inf" || lower == "infinity")
    return clean.empty() ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
  if (lower == "nan") return std::numeric_limits<double>::quiet_NaN();
  // digits: one or more ASCII digits with single underscores between them.
  auto digits = [&](size_t& k) {
    const size_t start = k;
    while (k < rest.size()) {
      if (rest[k] >= '0' && rest[k] <= '9') {
        clean += rest[k++];
      } else if (rest[k] == '_' && k > start && k + 1 < rest.size() && rest[k + 1] >= '0' && rest[k + 1] <= '9' &&
                 rest[k - 1] != '_') {
        ++k;
      } else {
        break;
      }
    }
    return k > start;
  };
  size_t k = 0;
  const bool whole = digits(k);
  bool frac = false;
  if (k < rest.size() && rest[k] == '.') {
    clean += '.';
    ++k;
    frac = digits(k);
  }
  if (!whole && !frac) return std::nullopt;
  if (k < rest.size() && (rest[k] == 'e' || rest[k] == 'E')) {
    clean += 'e';
    ++k;
    if (k < rest.size() && (rest[k] == '+' || rest[k] == '-')) clean += rest[k++];
    if (!digits(k)) return std::nullopt;
  }
  if (k != rest.size()) return std::nullopt;
  double v = 0;
  const auto r = std::from_chars(clean.data(), clean.data() + clean.size(), v);
  if (r.ptr != clean.data() + clean.size()) return std::nullopt;
  // from_chars reports out-of-range values instead of giving inf or 0; Python
  // gives the rounded result.
  if (r.ec == std::errc::result_out_of_range) v = std::strtod(clean.c_str(), nullptr);
  return v;
}

double cache_cap_bytes() {
  const char* v = std::getenv("HALVANE_AVATAR_CACHE_GB");
  double gb = kDefaultCacheGb;
  if (v && *v)
    if (auto p = parse_py_float(v)) gb = *p;
  // NaN stays NaN (max(gb, 0.0) keeps its first argument when unordered).
  if (gb < 0.0) gb = 0.0;
  return std::trunc(gb * 1e9);
}

std::string abspath(const std::string& p) {
  std::string path = p;
  if (path.empty() || path[0] != '/') {
    std::vector<char> buf(PATH_MAX);
    while (!::getcwd(buf.data(), buf.size())) {
      if (errno != ERANGE) throw OSError(errno);
      buf.resize(buf.size() * 2);
    }
    path = join_path(buf.data(), path);
  }
  const size_t slashes = path.compare(0, 2, "//") == 0 && path.compare(0, 3, "///") != 0 ? 2 : 1;
  std::vector<std::string_view> comps;
  std::string_view rest = path;
  while (!rest.empty()) {
    const size_t s = rest.find('/');
    const std::string_view c = rest.substr(0, s);
    rest = s == std::string_view::npos ? std::string_view() : rest.substr(s + 1);
    if (c.empty() || c == ".") continue;
    if (c == "..") {
      if (!comps.empty()) comps.pop_back();
      continue;
    }
    comps.push_back(c);
  }
  std::string out(slashes, '/');
  for (size_t i = 0; i < comps.size(); ++i) {
    if (i) out += '/';
    out += comps[i];
  }
  return out;
}

std::string identity_string(const std::string& source, const FileStamp& st) {
  std::string id = abspath(source);
  id += '\0';
  id += std::to_string(st.size);
  id += '\0';
  id += std::to_string(st.mtime_ns);
  id += '\0';
  id += std::to_string(st.ino);
  return id;
}

std::string memo_name(const std::string& source, const FileStamp& st) {
  return sha256_hex(identity_string(source, st)).substr(0, kKeyDigits);
}

std::optional<std::string> read_memo(int idx, const std::string& name) {
  if (idx < 0) return std::nullopt;
  Fd f(openat_cloexec(idx, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY));
  struct stat st;
  // Another user's memo could name any entry: it is not believed.
  if (f.fd < 0 || ::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || !mine(st) ||
      static_cast<uint64_t>(st.st_size) > kMemoMaxBytes)
    return std::nullopt;
  std::string text(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(f.fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > static_cast<size_t>(st.st_size)) return std::nullopt;  // grew while it was read
  text.resize(got);
  if (!valid_utf8(text)) return std::nullopt;
  const std::string_view s = strip_py(text);
  if (!is_key_digits(s)) return std::nullopt;
  return std::string(s);
}

std::string content_key(const std::string& source, const FileStamp& st, CacheDirs& d, const StopCheck& stop) {
  const std::string memo = memo_name(source, st);
  if (auto k = read_memo(d.idx.fd, memo)) return "sha256-" + *k;

  std::optional<File> f;
  try {
    f.emplace(source);
  } catch (const ValueError&) {
    throw OSError(EINVAL, source);  // not a regular file: nothing to hash
  }
  ::posix_fadvise(f->fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  Sha256 h;
  std::vector<char> buf(kHashBlock);
  while (size_t n = f->read(buf.data(), buf.size())) {
    h.update(buf.data(), n);
    stop_point(stop);
  }
  const std::string key = h.hex_digest().substr(0, kKeyDigits);

  // A file that changed while it was read must not leave a memo behind: both
  // the descriptor read and the file now at the path match the status the
  // caller took before.
  struct stat now_fd, now_path;
  if (::fstat(f->fd(), &now_fd) == 0 && same_stamp(now_fd, st) && ::stat(source.c_str(), &now_path) == 0 &&
      same_stamp(now_path, st))
    write_memo(d, memo, key);
  return "sha256-" + key;
}

std::optional<int64_t> staging_owner(std::string_view name) {
  // "$" also matches before one final line end; "." never matches one.
  if (!name.empty() && name.back() == '\n') name.remove_suffix(1);
  size_t d = name.size();
  while (d > 0 && name[d - 1] >= '0' && name[d - 1] <= '9') --d;
  if (d == name.size()) return std::nullopt;
  constexpr std::string_view tag = ".tmp.";
  if (d < tag.size() + 1 || name.substr(d - tag.size(), tag.size()) != tag) return std::nullopt;
  if (name.substr(0, d - tag.size()).find('\n') != std::string_view::npos) return std::nullopt;
  int64_t pid = 0;
  const std::string_view digits = name.substr(d);
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (r.ec != std::errc() || pid > std::numeric_limits<pid_t>::max()) return int64_t{-1};
  return pid;
}

void make_dirs(const std::string& path, mode_t mode) {
  if (path.empty()) return;
  if (::mkdir(path.c_str(), mode) == 0) return;
  const int e = errno;
  if (e == EEXIST) {
    if (is_dir(path)) return;
    throw OSError(e, path);
  }
  if (e != ENOENT) throw OSError(e, path);
  std::string parent = path;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const size_t s = parent.rfind('/');
  if (s == std::string::npos || s == 0) throw OSError(e, path);
  make_dirs(parent.substr(0, s));
  if (::mkdir(path.c_str(), mode) != 0 && !(errno == EEXIST && is_dir(path))) throw OSError(errno, path);
}

void open_cache_dirs(CacheDirs& d, bool make) {
  if (d.avatars.find('\0') != std::string::npos) throw OSError(EINVAL, d.avatars);
  if (make) make_dirs(d.avatars, 0700);
  d.dir.fd = open_dir_at(AT_FDCWD, d.avatars);
  if (d.dir.fd < 0) {
    // Linux says ENOTDIR for a link opened as a directory without following
    // it; the error shown says what stands there.
    int e = errno;
    struct stat st;
    if (e == ENOTDIR && ::fstatat(AT_FDCWD, d.avatars.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      e = ELOOP;
    throw OSError(e, d.avatars);
  }
  d.idx.fd = open_dir_at(d.dir.fd, ".idx");
}

FolderVerdict folder_trust(const CacheDirs& d) noexcept {
  const std::pair<int, std::string> dirs[] = {{d.dir.fd, d.avatars}, {d.idx.fd, join_path(d.avatars, ".idx")}};
  for (const auto& [fd, path] : dirs) {
    struct stat st;
    // One not open is made private when it is made; one that cannot be
    // examined fails the steps that use it.
    if (fd < 0 || ::fstat(fd, &st) != 0) continue;
    if (!mine(st)) return {FolderTrust::others_own, path};
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return {FolderTrust::others_write, path};
  }
  return {};
}

bool entry_complete(int dir, const std::string& entry) noexcept {
  Fd e(open_dir_at(dir, entry));
  struct stat st;
  return e.fd >= 0 && ::fstat(e.fd, &st) == 0 && complete_at(e.fd, st);
}

void make_staging(const CacheDirs& d, const std::string& name) {
  if (::mkdirat(d.dir.fd, name.c_str(), 0777) == 0) return;
  const int e = errno;
  struct stat st;
  if (e == EEXIST && ::fstatat(d.dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) return;
  throw OSError(e, join_path(d.avatars, name));
}

void remove_tree(int dir, const std::string& path) noexcept {
  if (path.empty() || path.find('\0') != std::string::npos) return;
  if (::unlinkat(dir, path.c_str(), 0) == 0 || (errno != EISDIR && errno != EPERM)) return;
  const int fd = open_dir_at(dir, path);
  if (fd < 0) return;
  clear_dir_fd(fd);
  ::unlinkat(dir, path.c_str(), AT_REMOVEDIR);
}

void publish(const CacheDirs& d, const std::string& staging, const std::string& entry) {
  Fd s(open_dir_at(d.dir.fd, staging));
  struct stat marker;
  if (s.fd < 0 || ::fstatat(s.fd, kManifest, &marker, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(marker.st_mode))
    throw ValueError(kNoManifestMember);
  if (::renameat(d.dir.fd, staging.c_str(), d.dir.fd, entry.c_str()) != 0)
    throw OSError(errno, join_path(d.avatars, entry));
}

bool set_aside_incomplete(int at, const std::string& entry) noexcept {
  // The directory judged is the one moved: it is opened once, its marker
  // looked up through that descriptor, and the name checked to still be it.
  // Judged by name alone, an entry evicted between the two looks could make
  // a new one, published and held meanwhile, the directory moved aside.
  Fd dir(open_dir_at(at, entry));
  if (dir.fd < 0) return errno == ENOENT;
  struct stat judged, now;
  if (::fstat(dir.fd, &judged) != 0 || complete_at(dir.fd, judged)) return false;
  auto same = [&](const struct stat& s) { return s.st_dev == judged.st_dev && s.st_ino == judged.st_ino; };
  if (::fstatat(at, entry.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!same(now)) return false;  // already moved away, and something else stands there
  const std::string aside = incomplete_aside(entry);
  remove_tree(at, aside);  // a leftover of an earlier process with this id
  if (::renameat(at, entry.c_str(), at, aside.c_str()) != 0) return !exists_nofollow(at, entry);
  // Another heal may have moved the judged directory away just before the
  // rename, and another process published under the name since: what was
  // moved is not the judged directory, and it goes back.
  struct stat moved;
  if (::fstatat(at, aside.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 && !same(moved) &&
      ::renameat(at, aside.c_str(), at, entry.c_str()) == 0)
    return false;
  touch(at, aside);  // its idle time, for the sweep, starts now
  return true;
}

bool holds_marker(int fd, int dir, const std::string& entry) noexcept {
  struct stat held, now;
  if (::fstat(fd, &held) != 0) return false;
  const Fd e(open_dir_at(dir, entry));
  return e.fd >= 0 && ::fstatat(e.fd, kManifest, &now, AT_SYMLINK_NOFOLLOW) == 0 && held.st_dev == now.st_dev &&
         held.st_ino == now.st_ino;
}

void touch(int dir, const std::string& name) noexcept {
  // Through a descriptor of the directory itself: a symbolic link standing
  // under the entry's name is not followed to whatever it points at.
  const int fd = open_dir_at(dir, name);
  if (fd < 0) return;
  ::futimens(fd, nullptr);
  ::close(fd);
}

HoldResult lock_shared(int dir, const std::string& entry, int& fd) noexcept {
  Fd f(open_marker(dir, entry));
  if (f.fd < 0) return errno == ENOENT || errno == ENOTDIR ? HoldResult::gone : HoldResult::unlocked;
  if (::flock(f.fd, LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK ? HoldResult::busy : HoldResult::unlocked;
  // A sweep moves an entry away while it holds the exclusive lock: the file
  // locked here must still be the one published under this name.
  struct stat held;
  if (::fstat(f.fd, &held) != 0) return HoldResult::unlocked;
  if (!holds_marker(f.fd, dir, entry)) return HoldResult::gone;
  fd = f.release();
  return HoldResult::held;
}

bool pid_alive(int64_t pid) {
  if (pid < std::numeric_limits<pid_t>::min() || pid > std::numeric_limits<pid_t>::max()) return false;
  if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
  return errno != ESRCH;
}

namespace {

uint64_t du_fd(int dfd) noexcept {
  DIR* d = ::fdopendir(dfd);
  if (!d) {
    ::close(dfd);
    return 0;
  }
  uint64_t total = 0;
  const int fd = ::dirfd(d);
  while (const dirent* e = ::readdir(d)) {
    const std::string_view n = e->d_name;
    if (n == "." || n == "..") continue;
    struct stat st;
    if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      const int sub = ::openat(fd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) total += du_fd(sub);
      continue;
    }
    struct stat target;
    if (S_ISLNK(st.st_mode) && ::fstatat(fd, e->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode)) continue;
    total += static_cast<uint64_t>(st.st_size);
  }
  ::closedir(d);
  return total;
}

}  // namespace

uint64_t du(const std::string& path) noexcept {
  if (path.find('\0') != std::string::npos) return 0;
  const int fd = openat_cloexec(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY);
  return fd < 0 ? 0 : du_fd(fd);
}

bool in_use(int dir, const std::string& entry, double idle_s, bool locks) noexcept {
  if (!locks) return idle_s < static_cast<double>(kNoLockInUseS);
  const int fd = lock_exclusive(dir, entry);
  if (fd >= 0) ::close(fd);
  return fd == -1;
}

void sweep(const CacheDirs& d, const std::string& keep, double now, bool locks, const StopCheck& stop) {
  try {
    const double cap = cache_cap_bytes();
    if (!std::isfinite(cap) || d.dir.fd < 0) return;
    const int dir = d.dir.fd;
    // Listed through a descriptor of its own: one made by dup() would share
    // its reading position with every other listing of the folder.
    const int lfd = openat_cloexec(dir, ".", O_RDONLY | O_DIRECTORY);
    DIR* listing = lfd < 0 ? nullptr : ::fdopendir(lfd);
    if (!listing) {
      if (lfd >= 0) ::close(lfd);
      return;
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(listing)) names.emplace_back(e->d_name);
    ::closedir(listing);

    std::vector<Candidate> cands;
    uint64_t total = 0;
    for (const std::string& name : names) {
      stop_point(stop);
      if (name.empty() || name[0] == '.') continue;
      struct stat st;
      if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) continue;
      const double mtime = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
      const double idle = now - mtime;
      if (auto owner = staging_owner(name)) {
        if (idle > static_cast<double>(kEvictMinIdleS) &&
            (idle > static_cast<double>(kStagingMaxIdleS) || *owner < 0 || !pid_alive(*owner)))
          remove_tree(dir, name);
        continue;
      }
      const int sub = open_dir_at(dir, name);
      const uint64_t size = sub < 0 ? 0 : du_fd(sub);
      total += size;
      std::string path = join_path(d.avatars, name);
      if (path != keep) cands.push_back({idle, size, std::move(path), name});
    }
    std::sort(cands.begin(), cands.end(), [](const Candidate& a, const Candidate& b) {
      return std::tie(a.idle, a.size, a.path) > std::tie(b.idle, b.size, b.path);
    });
    auto within = [&] { return cap >= 0x1p63 || total <= static_cast<uint64_t>(cap); };
    for (const Candidate& c : cands) {
      stop_point(stop);
      if (within()) return;
      if (c.idle < static_cast<double>(kEvictMinIdleS)) continue;
      if (!locks && in_use(dir, c.name, c.idle, false)) continue;
      if (evict(dir, c.name, locks)) total -= c.size;
    }
  } catch (const Stopped&) {
    throw;
  } catch (...) {
  }
}

Turn::Turn() noexcept {
  int p[2];
#ifdef __linux__
  const bool made = ::pipe2(p, O_CLOEXEC | O_NONBLOCK) == 0;
#else
  const bool made = ::pipe(p) == 0;
  if (made)
    for (int fd : p) {
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
#endif
  if (!made) {
    err_ = errno;
    return;
  }
  rd_ = p[0];
  wr_ = p[1];
  const char token = 0;
  if (::write(wr_, &token, 1) != 1) err_ = errno;
}

Turn::~Turn() {
  if (rd_ >= 0) ::close(rd_);
  if (wr_ >= 0) ::close(wr_);
}

bool Turn::try_lock() noexcept {
  char token;
  if (rd_ < 0 || ::read(rd_, &token, 1) != 1) return false;
  held_ = true;
  return true;
}

void Turn::unlock() noexcept {
  // One token, one holder: an unlock by a thread that holds nothing (the
  // forking thread of a child, releasing its parent's turn) adds none.
  if (!held_.exchange(false)) return;
  const char token = 0;
  ssize_t n;
  do n = ::write(wr_, &token, 1);
  while (n < 0 && errno == EINTR);
}

void Turn::leave_to_parent() noexcept {
  held_ = false;
  for (int* fd : {&rd_, &wr_})
    if (*fd >= 0) ::close(std::exchange(*fd, -1));
  err_ = EBADF;
}

namespace {

// A child of fork() has only the forking thread: a materialise another
// thread was running in the parent at that moment never ends there, so the
// child starts with a turn of its own, free. The old one stays allocated:
// the forking thread may still be inside a materialise that unlocks it.
Turn* g_turn = nullptr;

void new_turn() noexcept { g_turn = new Turn; }

void fresh_turn_in_child() noexcept {
  g_turn->leave_to_parent();
  new_turn();
}

// After a signal the stop check is asked again this soon: a check that looks
// only every so often (SignalCheck runs the handlers at most every 20 ms) may
// have been asked too soon to see what the signal's handler did.
constexpr int kRecheckMs = 30;

}  // namespace

Turn& materialise_turn() {
  static const bool ready = [] {
    new_turn();
    ::pthread_atfork(nullptr, nullptr, fresh_turn_in_child);
    return true;
  }();
  (void)ready;
  return *g_turn;
}

void lock_or_stop(Turn& t, const StopCheck& stop) {
  if (t.err_) throw OSError(t.err_);
  if (t.try_lock()) return;
  stop_point(stop);
  // poll() sleeps until the token can be read, and a signal's handler always
  // ends it with EINTR: it is never restarted, SA_RESTART or not, where a
  // mutex sleeps through signals and flock() is restarted under SA_RESTART.
  int wait_ms = -1;
  while (!t.try_lock()) {
    pollfd p{t.rd_, POLLIN, 0};
    const int n = ::poll(&p, 1, wait_ms);
    if (n > 0) {
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) throw OSError(EBADF);
      continue;  // the token is back; another waiter may take it first
    }
    if (n < 0 && errno != EINTR) throw OSError(errno);
    wait_ms = n < 0 ? kRecheckMs : -1;
    stop_point(stop);
  }
}

}  // namespace halvane::open
