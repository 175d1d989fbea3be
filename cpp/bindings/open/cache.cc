// The avatar cache: content keys, materialising and holding entries, the
// eviction sweep. The core (open/cache.h) does the file-system work with the
// GIL released; this file keeps the module state (_HELD, _SWEPT, _fcntl) as
// globals of the module, looked up at use, and calls the unpacker of the
// outside module _offline.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "bindings/common/fspath.h"
#include "bindings/common/signals.h"
#include "bindings/open/module.h"
#include "bindings/open/outside.h"
#include "common/errors.h"
#include "common/fs.h"
#include "open/cache.h"
#include "open/messages.h"

namespace halvane::open::py {

using halvane::py::fs_bytes;
using halvane::py::fs_text;
using halvane::py::SignalCheck;

namespace {

constexpr const char* kTmpPattern = R"(^.+\.tmp\.(\d+)$)";
// A sweep of another process keeps its exclusive lock only while it moves an
// entry away; a hold refused for longer than this is given up (used unlocked).
constexpr auto kBusyWait = std::chrono::milliseconds(500);
constexpr auto kBusyStep = std::chrono::milliseconds(2);
// How often an entry that vanished between finding and holding it is
// unpacked again before the last outcome stands.
constexpr int kRounds = 4;

bool have_locks() { return !module_global("_fcntl").is_none(); }

// OSError(errno, strerror, filename), as the OS module raises it.
nb::object os_error(const halvane::OSError& e) {
  nb::object args = e.filename.empty() ? nb::make_tuple(e.err, nb::str(e.what()))
                                       : nb::make_tuple(e.err, nb::str(e.what()), fs_text(e.filename));
  return check(PyObject_Call(PyExc_OSError, args.ptr(), nullptr));
}

nb::object value_error(const char* what) {
  return check(PyObject_CallFunction(PyExc_ValueError, "s", what));
}

// raise refuse(kind, message, detail), with neither cause nor context shown.
[[noreturn]] void raise_refused(const char* kind, nb::handle message, nb::handle detail) {
  nb::object exc = refused(kind, message, detail);
  PyException_SetCause(exc.ptr(), nullptr);  // also sets __suppress_context__
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())));
  PyErr_Restore(type, exc.release().ptr(), nullptr);
  throw nb::python_error();
}

[[noreturn]] void raise_refused(const char* kind, const char* message, nb::handle detail) {
  raise_refused(kind, nb::str(message), detail);
}

// One whole-number field of a status record: TypeError naming the field when
// it is missing or not an int, OverflowError when it is out of range.
nb::object stamp_field(nb::handle st, const char* name) {
  nb::object field = get_or(st, name, nb::handle());
  if (!field.is_valid()) {
    PyErr_Format(PyExc_TypeError, kStampMissingFormat, name, Py_TYPE(st.ptr())->tp_name);
    throw nb::python_error();
  }
  if (!PyLong_Check(field.ptr())) {
    PyErr_Format(PyExc_TypeError, kStampNotIntFormat, name, Py_TYPE(field.ptr())->tp_name);
    throw nb::python_error();
  }
  return field;
}

FileStamp stamp_of(nb::handle st) {
  FileStamp out;
  out.size = PyLong_AsLongLong(stamp_field(st, "st_size").ptr());
  if (out.size == -1 && PyErr_Occurred()) throw nb::python_error();
  out.mtime_ns = PyLong_AsLongLong(stamp_field(st, "st_mtime_ns").ptr());
  if (out.mtime_ns == -1 && PyErr_Occurred()) throw nb::python_error();
  out.ino = PyLong_AsUnsignedLongLong(stamp_field(st, "st_ino").ptr());
  if (out.ino == static_cast<uint64_t>(-1) && PyErr_Occurred()) throw nb::python_error();
  return out;
}

bool exists_nofollow(int dir, const std::string& name) {
  nb::gil_scoped_release unlocked;
  struct stat st;
  return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool marker_present(int dir, const std::string& entry) {
  nb::gil_scoped_release unlocked;
  return entry_complete(dir, entry);
}

// Runs `work` with the signal handlers looked at between its steps: one that
// raises (Ctrl-C's KeyboardInterrupt) ends it, its error raised here.
template <typename Work>
auto stoppable(Work&& work) {
  SignalCheck signals;
  try {
    return work(StopCheck([&] { return signals(); }));
  } catch (const halvane::Stopped&) {
    signals.raise_pending();
  }
}

// Refuses an avatars folder of another user, or one that others can write:
// a memo or an entry planted there would be believed.
void refuse_untrusted_folder(const CacheDirs& d) {
  FolderVerdict v;
  {
    nb::gil_scoped_release unlocked;
    v = folder_trust(d);
  }
  if (v.trust == FolderTrust::ok) return;
  nb::str why(v.trust == FolderTrust::others_own ? kCacheFolderOthersOwn : kCacheFolderOthersWrite);
  nb::object message = check(PyUnicode_Concat(concat(kCacheFolder, fs_text(v.folder)).ptr(), why.ptr()));
  raise_refused("Failed", message, nb::none());
}

// Touches the entry `name` in `dir` and takes this process's shared lock on
// it, recorded in _HELD under `dest`. With `wait`, a lock refused because a
// sweep is probing or moving the entry is asked for again for a short while.
HoldResult hold_entry(nb::handle dest, int dir, const std::string& name, bool wait, const StopCheck& stop = {}) {
  {
    nb::gil_scoped_release unlocked;
    touch(dir, name);
  }
  if (!have_locks()) return HoldResult::unlocked;
  nb::object held = module_global("_HELD");
  const int known = PySequence_Contains(held.ptr(), dest.ptr());
  if (known < 0) throw nb::python_error();
  if (known) {
    // Held, unless the entry was published anew since (a marker that had
    // gone missing): the lock on the old marker protects nothing now.
    nb::object old = held[dest];
    int overflow = 0;
    const long old_fd = PyLong_Check(old.ptr()) ? PyLong_AsLongAndOverflow(old.ptr(), &overflow) : -1;
    if (old_fd < 0 || old_fd > INT_MAX || overflow) {
      PyErr_Clear();
      return HoldResult::held;
    }
    nb::gil_scoped_release unlocked;
    if (holds_marker(static_cast<int>(old_fd), dir, name)) return HoldResult::held;
  }
  int fd = -1;
  HoldResult r;
  {
    nb::gil_scoped_release unlocked;
    const auto until = std::chrono::steady_clock::now() + kBusyWait;
    while ((r = lock_shared(dir, name, fd)) == HoldResult::busy && wait && std::chrono::steady_clock::now() < until) {
      stop_point(stop);
      std::this_thread::sleep_for(kBusyStep);
    }
  }
  // A stale descriptor replaced here stays open: descriptors of _HELD are
  // never closed while the process lives.
  if (r == HoldResult::held) held[dest] = fd;
  return r;
}

void run_sweep(const CacheDirs& d, const std::string& keep, const StopCheck& stop) {
  const double now = nb::cast<double>(nb::module_::import_("time").attr("time")());
  const bool locks = have_locks();
  nb::gil_scoped_release unlocked;
  sweep(d, keep, now, locks, stop);
}

void first_sweep(const CacheDirs& d, const std::string& keep, const StopCheck& stop) {
  nb::handle m = module_names().module;
  if (truthy(m.attr("_SWEPT"))) return;
  m.attr("_SWEPT") = true;
  run_sweep(d, keep, stop);
}

int lock_staging(int dir, const std::string& staging) noexcept {
  int fd = -1;
  return lock_shared(dir, staging, fd) == HoldResult::held ? fd : -1;
}

// Takes this process's turn to materialise, asking `stop` while it waits.
std::unique_lock<Turn> take_turn(const StopCheck& stop) {
  {
    nb::gil_scoped_release unlocked;
    lock_or_stop(materialise_turn(), stop);
  }
  return std::unique_lock<Turn>(materialise_turn(), std::adopt_lock);
}

nb::object materialise(nb::handle source, const StopCheck& stop) {
  const std::string src = fs_bytes(source);
  bool given_dir;
  {
    nb::gil_scoped_release unlocked;
    given_dir = is_dir(src);
  }
  if (given_dir) return nb::borrow(source);
  const FileStamp st = stamp_of(nb::module_::import_("os").attr("stat")(source));
  std::string avatars, key;
  {
    nb::gil_scoped_release unlocked;
    avatars = join_path(cache_root(), "avatars");
  }
  CacheDirs d(avatars);
  try {
    // Made before its trust is judged, and judged as opened: a folder checked
    // while missing and made later, or checked by its name and used by it
    // again, could be another user's by then, planted in between.
    nb::gil_scoped_release unlocked;
    open_cache_dirs(d, true);
  } catch (const halvane::OSError& e) {
    raise_refused("Failed", kNotPrepared, os_error(e));
  }
  refuse_untrusted_folder(d);
  try {
    nb::gil_scoped_release unlocked;
    key = content_key(src, st, d, stop);
  } catch (const halvane::OSError& e) {
    raise_refused("Failed", kNotPrepared, os_error(e));
  }
  const int dir = d.dir.fd;
  const std::string entry = join_path(avatars, key);
  nb::str entry_text = fs_text(entry);
  const bool locks = have_locks();

  // One staging directory per process: threads take turns.
  const std::unique_lock<Turn> turn = take_turn(stop);
  for (int round = 1;; ++round) {
    const bool last = round == kRounds;
    if (marker_present(dir, key)) {
      if (hold_entry(entry_text, dir, key, true, stop) != HoldResult::gone || last) {
        first_sweep(d, entry, stop);
        return entry_text;
      }
      continue;  // moved away by a sweep between finding and holding it
    }
    nb::object unfold = outside("_offline").attr("unfold_imx");
    const std::string staging = key + ".tmp." + std::to_string(::getpid());
    nb::object os_detail, other_detail;
    bool publishing = false;
    Fd early;  // the shared lock on the staging's marker, released unless handed over to _HELD
    try {
      {
        nb::gil_scoped_release unlocked;
        remove_tree(dir, staging);
        make_staging(d, staging);
      }
      // The unpacker takes a path: the staging directory as the avatars
      // folder's name leads to it.
      unfold(source, fs_text(join_path(avatars, staging)));
      publishing = true;
      nb::gil_scoped_release unlocked;
      // The hold is taken on the staging's marker before the rename, so the
      // entry is held from the moment it stands under its name: a sweep
      // running meanwhile never finds it free.
      if (locks) early.fd = lock_staging(dir, staging);
      try {
        publish(d, staging, key);
      } catch (const halvane::OSError& e) {
        // A directory without its marker under the entry's name refuses the
        // rename; once it is moved aside the avatar is published again.
        if ((e.err != ENOTEMPTY && e.err != EEXIST) || !set_aside_incomplete(dir, key)) throw;
        publish(d, staging, key);
      }
    } catch (const halvane::OSError& e) {
      os_detail = os_error(e);
    } catch (const halvane::ValueError& e) {
      other_detail = value_error(e.what());
    } catch (nb::python_error& e) {
      if (e.matches(PyExc_OSError)) os_detail = nb::borrow(e.value());
      else if (e.matches(PyExc_Exception)) other_detail = nb::borrow(e.value());
      else throw;  // an interrupt leaves its staging directory behind
    }
    if (os_detail.is_valid() || other_detail.is_valid()) {
      {
        nb::gil_scoped_release unlocked;
        remove_tree(dir, staging);
      }
      if (other_detail.is_valid()) raise_refused("InvalidAvatar", kUnusable, other_detail);
      if (!marker_present(dir, key)) {
        // The entry that refused the rename may have been evicted since.
        if (publishing && !last && !exists_nofollow(dir, key)) continue;
        raise_refused("Failed", kNotPrepared, os_detail);
      }
      // Another process published the same entry first.
      if (hold_entry(entry_text, dir, key, true, stop) != HoldResult::gone || last) return entry_text;
      continue;
    }
    if (early.fd >= 0) {
      // Published with the hold already taken; a descriptor of an earlier
      // marker of this entry that it replaces stays open, like any of _HELD.
      module_global("_HELD")[entry_text] = early.release();
    }
    if (hold_entry(entry_text, dir, key, true, stop) == HoldResult::gone && !last) continue;
    module_names().module.attr("_SWEPT") = true;
    run_sweep(d, entry, stop);
    return entry_text;
  }
}

}  // namespace

void bind_cache(nb::module_& m) {
  m.attr("_DEFAULT_CACHE_GB") = kDefaultCacheGb;
  m.attr("_EVICT_MIN_IDLE_S") = kEvictMinIdleS;
  m.attr("_TMP_RE") = nb::module_::import_("re").attr("compile")(kTmpPattern);
  m.attr("_HELD") = nb::dict();
  m.attr("_SWEPT") = false;
  m.attr("_fcntl") = nb::module_::import_("fcntl");

  m.def("_cache_root", [] {
    std::string root;
    {
      nb::gil_scoped_release unlocked;
      root = cache_root();
    }
    return fs_text(root);
  });
  m.def("_cache_cap_bytes", [] {
    // Python's int() of the float: OverflowError for infinity, ValueError
    // for NaN.
    return check(PyLong_FromDouble(cache_cap_bytes()));
  });
  m.def("_content_key", [](nb::handle source, nb::handle st, nb::handle avatars) {
    const std::string src = fs_bytes(source), av = fs_bytes(avatars);
    const FileStamp stamp = stamp_of(st);
    return stoppable([&](const StopCheck& stop) {
      nb::gil_scoped_release unlocked;
      CacheDirs d(av);
      try {
        open_cache_dirs(d, false);
      } catch (const halvane::OSError&) {
        // Not there yet (a memo write makes it), or no folder: no memo to read.
      }
      return content_key(src, stamp, d, stop);
    });
  }, nb::arg("source"), nb::arg("st"), nb::arg("avatars"));
  m.def("_materialise", [](nb::handle source) {
    return stoppable([&](const StopCheck& stop) { return materialise(source, stop); });
  }, nb::arg("source"));
  m.def("_hold", [](nb::handle dest) { hold_entry(dest, AT_FDCWD, fs_bytes(dest), false); }, nb::arg("dest"));
  m.def("_sweep", [](nb::handle avatars, nb::handle keep) {
    const std::string av = fs_bytes(avatars), k = fs_bytes(keep);
    stoppable([&](const StopCheck& stop) {
      const std::unique_lock<Turn> turn = take_turn(stop);
      CacheDirs d(av);
      try {
        nb::gil_scoped_release unlocked;
        open_cache_dirs(d, false);
      } catch (const halvane::OSError&) {
        return;  // nothing to sweep
      }
      run_sweep(d, k, stop);
    });
  }, nb::arg("avatars"), nb::arg("keep"));
  m.def("_in_use", [](nb::handle entry, double idle_s) {
    const std::string e = fs_bytes(entry);
    const bool locks = have_locks();
    nb::gil_scoped_release unlocked;
    return in_use(AT_FDCWD, e, idle_s, locks);
  }, nb::arg("entry"), nb::arg("idle_s"));
  m.def("_pid_alive", [](nb::handle pid) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(pid.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow == 0 && pid_alive(v);
  }, nb::arg("pid"));
  m.def("_du", [](nb::handle path) {
    const std::string p = fs_bytes(path);
    nb::gil_scoped_release unlocked;
    return du(p);
  }, nb::arg("path"));
}

}  // namespace halvane::open::py
