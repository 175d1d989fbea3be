// The avatar cache on disk: unpacked avatars shared by every process of the
// user, coordinated only through the file system.
//
// Layout under the avatars directory (cache root + "/avatars"):
//   sha256-<32 hex>            an entry; complete when its manifest.json is a
//                              regular file; its own mtime is its last use
//   <entry>.tmp.<pid>          a staging directory of process <pid>
//   <entry>.incomplete.tmp.<pid>  an entry that lost its manifest.json, moved
//                              aside by <pid>; swept like a staging directory
//   .idx/<32 hex>              a memo: the content key of one version of one
//                              container file (path, size, mtime, inode)
//   .idx/<32 hex>.<pid>        a memo being written by <pid>
//
// Processes hold a shared flock on each entry's manifest.json for life; a
// sweep takes an exclusive flock, and keeps it while it moves the entry out
// of the way (renamed to a staging name of its own) before deleting it, so an
// entry is never removed under a holder and never seen half-removed.
//
// Nothing here trusts what another user made: the avatars directory and its
// ".idx" must be this user's own and writable by nobody else (see
// folder_trust()), and are worked in through the descriptors of the very
// folders judged (CacheDirs), never by their names again; an entry, its marker or a memo that is not this user's, or
// not the kind of file it should be (a link, a FIFO), counts as absent. Files
// are opened without blocking (a FIFO never holds an open), and long work
// (hashing, a sweep, waits) asks the caller's stop check between steps.
//
// Every descriptor is opened close-on-exec. Paths are file-system bytes.
// Everything here is best effort where it says so and never prints.
//
// Thread contract: the functions are reentrant; materialise_turn()
// serialises the staging directory of this process between threads.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/fs.h"

namespace halvane::open {

inline constexpr double kDefaultCacheGb = 10.0;
inline constexpr int64_t kEvictMinIdleS = 3600;      // entries younger than this stay
inline constexpr int64_t kStagingMaxIdleS = 86400;   // staging older than this goes whoever owns it
inline constexpr int64_t kNoLockInUseS = 604800;     // "in use" without a lock facility
inline constexpr size_t kHashBlock = size_t{4} << 20;

// HALVANE_CACHE_DIR (even when empty) or "~/.cache/halvane", a leading tilde
// expanded as Python's os.path.expanduser does. Read afresh at every call.
std::string cache_root();

// `p` with a leading "~" or "~user" expanded; unchanged when the user or
// home is unknown.
std::string expand_user(const std::string& p);

// Python's float(text): white space around, sign, digits with single
// underscores, fraction, exponent, "inf"/"infinity"/"nan" in any case.
std::optional<double> parse_py_float(std::string_view text);

// HALVANE_AVATAR_CACHE_GB in bytes (1 GB = 1e9), truncated toward zero; 10 GB
// when unset, empty or unparsable; negative values give 0. Infinity and NaN
// come back as they are: the caller refuses them.
double cache_cap_bytes();

// The status fields a content key depends on.
struct FileStamp {
  int64_t size = 0;
  int64_t mtime_ns = 0;
  uint64_t ino = 0;
};

// os.path.abspath on bytes: joined to the working directory, then normalised
// lexically. Raises OSError when the working directory is gone.
std::string abspath(const std::string& p);

// Path, size, mtime in ns and inode, joined by NUL.
std::string identity_string(const std::string& source, const FileStamp& st);

// The name of the memo file, in ".idx": the first 32 hex digits of the
// SHA-256 of the identity string.
std::string memo_name(const std::string& source, const FileStamp& st);

// The avatars folder and its ".idx", each opened once, never through a
// symbolic link, and worked in through its descriptor from then on: what
// was judged is what is used, even should someone who can write the cache
// root give the name to another folder meanwhile.
struct CacheDirs {
  explicit CacheDirs(std::string path) : avatars(std::move(path)) {}
  std::string avatars;  // the path it is opened by; paths handed out are built on it
  Fd dir;               // the avatars folder; -1 while not open
  Fd idx;               // its ".idx"; -1 while not open (missing, or no folder: a link is not followed)
};

// Opens `d.avatars`, made first when `make` (missing parents as make_dirs()
// makes them, the folder itself 0700), and its ".idx" when one is there.
// OSError when it cannot be made or opened; a link in its place is refused
// with ELOOP.
void open_cache_dirs(CacheDirs& d, bool make);

// The 32 lower-case hex digits the memo `name` in the folder `idx` holds, or
// nullopt (missing, unreadable, not a regular file of this user, not UTF-8,
// or not exactly 32 hex digits once white space is stripped from both ends).
std::optional<std::string> read_memo(int idx, const std::string& name);

// "sha256-" + 32 hex digits of the container file's content. A valid memo
// in `d` spares the read; otherwise the file is hashed in 4 MiB reads and
// the memo written (best effort, through a new file "<memo>.<pid>" and a
// rename, the folders made and opened in `d` as needed) unless the file's
// status differs from `st` before or after the hash. Raises OSError when the
// container cannot be read, Stopped when `stop` says so between reads.
std::string content_key(const std::string& source, const FileStamp& st, CacheDirs& d, const StopCheck& stop = {});

// Whether the folders open in `d` may be trusted: both must be this user's
// (the effective user id) and writable by nobody else, as a folder that
// others can write lets them plant memos and entries. One not open is
// passed over: callers open the avatars folder made (open_cache_dirs) and
// judge what they opened; an ".idx" made later is judged as it is opened.
enum class FolderTrust { ok, others_own, others_write };
struct FolderVerdict {
  FolderTrust trust = FolderTrust::ok;
  std::string folder;  // the directory refused
};
FolderVerdict folder_trust(const CacheDirs& d) noexcept;

// Below, `dir` is the folder that names are looked up in: the descriptor of
// the avatars folder, or AT_FDCWD for a path as the caller gave it.

// Whether `entry` is a complete entry of this user: a directory (not a link)
// whose "manifest.json" is a regular file (not a link), both this user's.
bool entry_complete(int dir, const std::string& entry) noexcept;

// The owner's process id of a staging directory name (the whole name
// matching "^.+\.tmp\.(\d+)$"); nullopt for other names. Digits beyond the
// range of a process id give a value no process has (-1).
std::optional<int64_t> staging_owner(std::string_view name);

// mkdir -p with mode 0777 (umask applies), `mode` for `path` itself; an
// existing directory is fine.
void make_dirs(const std::string& path, mode_t mode = 0777);

// The staging directory `name` made in the avatars folder (0777, umask
// applies); an existing directory is fine. OSError naming its path.
void make_staging(const CacheDirs& d, const std::string& name);

// Removes `path` and everything under it, never following a symbolic link:
// a link is removed, never what it points to. Every error is ignored.
void remove_tree(int dir, const std::string& path) noexcept;

// Publishes a complete staging directory: refuses (ValueError) one without a
// regular "manifest.json", then renames it to `entry` in one step (OSError
// naming the entry's path on failure, for instance a non-empty directory
// already under that name).
void publish(const CacheDirs& d, const std::string& staging, const std::string& entry);

// Clears the way for a publish under `entry` when a directory stands there
// without its "manifest.json" (removed by hand, or by a tool that died): it
// can never be used, and a publish cannot replace it. It is moved aside,
// whole, under the staging name "<entry>.incomplete.tmp.<pid>" of this
// process, so a process that still reads files through it loses nothing and
// the sweep removes it by the rules for staging directories; so is a
// directory that is not complete by entry_complete() (another user's, a
// marker that is a FIFO or a link). True when nothing stands under `entry`
// any more; false for a complete entry, a link or a file there, or when the
// move fails.
bool set_aside_incomplete(int dir, const std::string& entry) noexcept;

// Whether the descriptor `fd` is the entry's "manifest.json" as it stands
// now (the same file, not one since removed and published anew).
bool holds_marker(int fd, int dir, const std::string& entry) noexcept;

// Access and modification times of the directory `name` set to now; a
// symbolic link there is left alone (never followed). Errors ignored.
void touch(int dir, const std::string& name) noexcept;

// Taking this process's shared lock on an entry's manifest.json.
enum class HoldResult {
  held,      // locked; `fd` is the descriptor to keep
  busy,      // another process holds an exclusive lock right now
  gone,      // no marker (or none of this user's), or the entry was moved away while it was locked
  unlocked,  // the lock could not be taken for another reason
};
HoldResult lock_shared(int dir, const std::string& entry, int& fd) noexcept;

// Whether a process with that id may be running (kill(pid, 0); refused with
// anything but "no such process" counts as running). Ids outside the range of
// pid_t name no process.
bool pid_alive(int64_t pid);

// Apparent size of every non-directory under `path` (links not followed, a
// link to a directory not counted); unreadable names count 0.
uint64_t du(const std::string& path) noexcept;

// Whether some process holds `entry` (an exclusive probe of its manifest.json);
// without `locks`, whether it was used within the last seven days.
bool in_use(int dir, const std::string& entry, double idle_s, bool locks) noexcept;

// One pass over the avatars folder open in `d` at time `now` (seconds):
// stale staging directories removed, then the longest-idle unheld entries
// other than the path `keep` while the entries' total exceeds the capacity.
// Does nothing when `d` is not open. Never fails; Stopped, when `stop` says
// so between entries, is passed on.
void sweep(const CacheDirs& d, const std::string& keep, double now, bool locks, const StopCheck& stop = {});

// The turn to materialise between the threads of this process (one staging
// directory name per process): a token in a pipe, so that a thread waiting
// for it sleeps in the kernel until the token comes back or a signal
// arrives. Unlocking a turn that is not held does nothing.
class Turn {
 public:
  Turn() noexcept;
  ~Turn();
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

  bool try_lock() noexcept;
  void unlock() noexcept;
  // In a child of fork(): the pipe is the parent's, so this turn is left
  // alone from now on (an unlock does nothing) and its descriptors closed.
  void leave_to_parent() noexcept;

 private:
  friend void lock_or_stop(Turn& t, const StopCheck& stop);
  int rd_ = -1, wr_ = -1;
  int err_ = 0;  // why the pipe could not be made
  std::atomic<bool> held_{false};
};

// This process's turn to materialise. A child of fork() gets a new, free one.
Turn& materialise_turn();

// Takes `t`. While another thread has it, waits asleep, without a timeout:
// a signal that arrives meanwhile ends the wait for `stop` to be asked
// (Stopped when it says so), then the wait goes on. OSError when the turn
// could not be set up.
void lock_or_stop(Turn& t, const StopCheck& stop);

}  // namespace halvane::open
