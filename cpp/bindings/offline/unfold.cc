// halvane._offline: the IMX unpacker the avatar cache calls at a miss.
//
// unfold_imx(src, dst) writes every member of the IMX container `src` into
// the directory `dst` under its basename (the last of duplicate basenames
// wins). Names that cannot be a file name there (empty, ".", "..", holding a
// NUL byte), and members that share bytes of the container, are refused
// before anything is written; what is written never exceeds the container's
// size. A file that is not an IMX container, or a damaged one, raises
// ValueError; reading the container or writing the directory fails with
// OSError. Signal handlers run between blocks: one that raises (Ctrl-C's
// KeyboardInterrupt) ends the unpack at once, leaving what was written.
//
// member_bytes(path, name, max_bytes=None) is the bytes of the member `name` of the avatar at
// `path` (a directory, an IMX container or a ZIP archive), or None when it
// holds no such member; the manifest reader takes avatars' manifests from it,
// bounded by `max_bytes` (MemberTooLarge, a ValueError, beyond it).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "bindings/common/errors.h"
#include "bindings/common/fspath.h"
#include "bindings/common/signals.h"
#include "bundle/bundle.h"
#include "bundle/imx.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/text.h"

namespace halvane::offline {
namespace {

namespace nb = nanobind;

void write_all(int fd, const char* p, size_t n, const std::string& path) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno, path);
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Refuses a container two of whose unpacked members (the last of each
// basename) read the same bytes: a table pointing many names at one range
// would otherwise unpack to many times the container's size.
void refuse_shared_bytes(const Bundle& b, const std::vector<std::string>& names) {
  std::unordered_map<std::string, const ImxEntry*> last;
  for (const ImxEntry& e : b.imx_table()) last[std::string(last_component(e.nm))] = &e;
  std::vector<ByteRange> ranges;
  for (const std::string& n : names) ranges.push_back(imx_member_range(*last.at(n), b.container_size()));
  if (auto o = first_overlap(ranges))
    throw ValueError("IMX members " + py_repr(names[o->first]) + " and " + py_repr(names[o->second]) +
                     " share bytes of the container");
}

void unfold_imx(const std::string& src, const std::string& dst, const StopCheck& stop) {
  if (src.find('\0') != std::string::npos || dst.find('\0') != std::string::npos)
    throw ValueError("embedded null byte");
  struct stat st;
  if (::stat(src.c_str(), &st) != 0) throw OSError(errno, src);
  if (S_ISDIR(st.st_mode)) throw OSError(EISDIR, src);
  const Bundle b(src);
  if (b.form() != Bundle::Form::imx) throw ValueError("not an IMX container: " + py_repr(src));

  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  for (std::string& n : b.listing()) {
    if (n.empty() || n == "." || n == ".." || n.find('\0') != std::string::npos)
      throw ValueError("IMX member name unusable as a file name: " + py_repr(n));
    if (seen.insert(n).second) names.push_back(std::move(n));
  }
  refuse_shared_bytes(b, names);

  // No member reads a byte another one reads, so the whole is at most the
  // container; a file that grows while it is unpacked is held to that too.
  const uint64_t cap = b.container_size();
  uint64_t written = 0;
  for (const std::string& n : names) {
    const std::string path = join_path(dst, n);
    int fd;
    do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) throw OSError(errno, path);
    try {
      b.for_each_block(n, [&](const char* p, size_t k) {
        if (k > cap - written)
          throw ValueError("IMX members unpack to more than the container's " + std::to_string(cap) + " bytes");
        written += k;
        write_all(fd, p, k, path);
        stop_point(stop);
      });
    } catch (...) {
      ::close(fd);
      throw;
    }
    if (::close(fd) != 0) throw OSError(errno, path);
  }
}

std::optional<std::string> member_bytes(const std::string& path, const std::string& name,
                                        std::optional<uint64_t> max_bytes) {
  if (path.find('\0') != std::string::npos) throw ValueError("embedded null byte");
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw OSError(errno, path);
  const Bundle b(path);
  if (!b.has(name)) return std::nullopt;
  return b.read(name, max_bytes.value_or(std::numeric_limits<uint64_t>::max()));
}

}  // namespace
}  // namespace halvane::offline

NB_MODULE(_offline, m) {
  halvane::py::register_errors();
  m.def("unfold_imx", [](nanobind::handle src, nanobind::handle dst) {
    const std::string s = halvane::py::fs_bytes(src), d = halvane::py::fs_bytes(dst);
    halvane::py::SignalCheck signals;
    try {
      nanobind::gil_scoped_release unlocked;
      halvane::offline::unfold_imx(s, d, [&] { return signals(); });
    } catch (const halvane::Stopped&) {
      signals.raise_pending();
    }
  }, nanobind::arg("src"), nanobind::arg("dst"));
  // Raised by member_bytes for a member beyond its max_bytes.
  static PyObject* too_large =
      PyErr_NewException("halvane._offline.MemberTooLarge", PyExc_ValueError, nullptr);
  if (!too_large) throw nanobind::python_error();
  m.attr("MemberTooLarge") = nanobind::handle(too_large);
  m.def("member_bytes", [](nanobind::handle path, nanobind::handle name,
                           std::optional<uint64_t> max_bytes) -> nanobind::object {
    const std::string p = halvane::py::fs_bytes(path), n = nanobind::cast<std::string>(name);
    std::optional<std::string> data;
    try {
      nanobind::gil_scoped_release unlocked;
      data = halvane::offline::member_bytes(p, n, max_bytes);
    } catch (const halvane::MemberTooLarge& e) {
      PyErr_SetString(too_large, e.what());
      throw nanobind::python_error();
    }
    if (!data) return nanobind::none();
    return nanobind::bytes(data->data(), data->size());
  }, nanobind::arg("path"), nanobind::arg("name"), nanobind::arg("max_bytes") = nanobind::none());
}
