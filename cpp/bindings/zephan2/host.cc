// The host program's Python surface: `main`, the console entry `_program`,
// and the pieces of warm-up and serving (`_run`, `_serve`, `load_bundle`,
// `load_color_correct`, `read_exact`, `write_frame`, `emit`). The protocol
// streams _IN and _OUT are process-wide and live on file descriptors.
//
// Command-line words and bundle paths cross as os.fsencode() gives them, so a
// path that is not UTF-8 reaches the file system (and the log) as its bytes.
#include <fcntl.h>
#include <unistd.h>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common/fspath.h"
#include "bindings/zephan2/module.h"
#include "common/errors.h"
#include "zephan2/host/entry.h"
#include "zephan2/inference/constants.h"

namespace halvane::zephan2::py {

namespace {

using halvane::py::fs_bytes;
using halvane::py::fs_text;

std::optional<std::string> optional_path(nb::handle p) {
  if (p.is_none()) return std::nullopt;
  return fs_bytes(p);
}

std::vector<std::string> fs_words(nb::handle argv) {
  std::vector<std::string> out;
  for (nb::handle a : nb::iter(argv)) out.push_back(fs_bytes(a));
  return out;
}

[[noreturn]] void raise_system_exit(int status) {
  PyErr_SetObject(PyExc_SystemExit, nb::int_(status).ptr());
  throw nb::python_error();
}

// The program's own ends, for the operations that run (part of) the program:
// a bundle contract violation (its FATAL line already logged) is
// SystemExit(3), a stop signal SystemExit(128 + signal). Elsewhere in the
// module they are ordinary errors, so `load_bundle` raises RuntimeError with
// the FATAL text. `f` must hold the GIL again when it returns or throws.
template <class F>
auto as_program(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const BundleFatal&) {
    raise_system_exit(3);
  } catch (const Stopped& s) {
    raise_system_exit(128 + s.signum);
  }
}

// Set once `_program` runs: the exit-time settling of the standard streams
// is the program's alone.
bool g_program = false;

// Runs at exit before the interpreter flushes sys.stdout and sys.stderr: a
// stream whose pending text cannot be written (standard error full, a closed
// pipe) is dropped here, so the failed flush cannot turn the program's status
// into the interpreter's own failure status.
void settle_std_streams() {
  if (!g_program) return;
  nb::module_ sys = nb::module_::import_("sys");
  for (const char* name : {"stdout", "stderr"}) {
    nb::object s = nb::getattr(sys, name, nb::none());
    if (s.is_none()) continue;
    try {
      s.attr("flush")();
    } catch (const nb::python_error&) {
      sys.attr(name) = nb::none();
    }
  }
}

// Standard input and the protocol output. The output starts as fd 1; when
// the module runs as the program it moves to a private duplicate, and fd 1
// is pointed at standard error so no stray print or native library can
// write into the protocol.
FdSource& host_in() {
  static auto* in = new FdSource(0);  // never destroyed: used until exit
  return *in;
}
FdWriter& host_out() {
  static auto* out = new FdWriter(1);
  return *out;
}

void take_over_stdout() {
  const int fd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return;  // no standard output: writes will fail with the OS error
  if (::dup2(2, 1) < 0) {
    ::close(fd);
    return;
  }
  host_out().set_fd(fd);
  fit_pipe(fd, 4 + FRAME_BYTES);  // one frame record per write, not 14 pipe refills
}

// Bundle loading's outside needs; `policy` keeps the policy object alive.
LoaderEnv loader_env(nb::handle m, std::unique_ptr<PyPolicy>& policy) {
  policy = policy_of(m);
  return {policy.get(), fs_bytes(m.attr("_SED_WHY")), &select_q8gd_in_python, &parse_color_in_python};
}

struct Host {
  std::unique_ptr<PyPolicy> policy;
  HostContext ctx;
  explicit Host(nb::handle m) : ctx{litert_runtime(), loader_env(m, policy), &host_in(), &host_out()} {}
};

// Frame records to write: (index, bytes) with the byte views that keep each
// buffer exported (and so alive and unmoved) while the GIL is released.
struct Records {
  std::vector<int64_t> index;
  std::vector<nb::ndarray<const uint8_t, nb::c_contig, nb::device::cpu>> bytes;
  std::vector<nb::object> views;

  void add(nb::handle idx, nb::handle rgb) {
    nb::object view = halvane::py::numpy().attr("frombuffer")(rgb, nb::arg("dtype") = "uint8");
    index.push_back(nb::cast<int64_t>(idx));
    bytes.push_back(nb::cast<nb::ndarray<const uint8_t, nb::c_contig, nb::device::cpu>>(view));
    views.push_back(std::move(view));
  }
  void write(FdWriter& out) const {
    for (size_t i = 0; i < index.size(); ++i) out.write_frame(index[i], bytes[i].data(), bytes[i].size());
  }
};

}  // namespace

void bind_host(nb::module_& m) {
  nb::handle mod = m;  // the module outlives its functions
  // Registered before anything the program itself registers, so it runs
  // after every exit hook that might still write to the streams.
  nb::module_::import_("atexit").attr("register")(nb::cpp_function(&settle_std_streams));

  m.def(
      "main",
      [mod](nb::handle argv_words) {
        const std::vector<std::string> argv = fs_words(argv_words);
        Host host(mod);
        nb::gil_scoped_release unlocked;
        return host_main(argv, host.ctx);
      },
      nb::arg("argv"), "Run the host program; returns its exit status.");
  m.def(
      "_program",
      [mod]() {
        // Before the program opens anything of its own: a standard stream
        // that came closed would otherwise be taken by the first descriptor
        // opened (the signal pipe as standard input).
        open_missing_std_fds();
        g_program = true;
        install_stop_handlers();
        take_over_stdout();
        const std::vector<std::string> argv = fs_words(nb::module_::import_("sys").attr("argv"));
        Host host(mod);
        nb::gil_scoped_release unlocked;
        return host_program(argv, host.ctx);
      },
      "Entry of the `tessel_render_host` command: main(sys.argv).");
  m.def(
      "_run",
      [mod](nb::handle bundle_path, nb::handle engine_path, int64_t threads) {
        const std::string bundle = fs_bytes(bundle_path);
        const std::optional<std::string> engine = optional_path(engine_path);
        return as_program([&] {
          Host host(mod);
          nb::gil_scoped_release unlocked;
          return host_run(bundle, engine, threads, host.ctx);
        });
      },
      nb::arg("bundle"), nb::arg("engine").none(), nb::arg("threads"));
  m.def(
      "_serve",
      [](Renderer& r, std::string nm) {
        return as_program([&] {
          nb::gil_scoped_release unlocked;
          return serve(r, nm, host_in(), host_out());
        });
      },
      nb::arg("renderer"), nb::arg("nm"));
  m.def(
      "load_bundle",
      [mod](nb::handle bundle_path, nb::handle engine_path) {
        const std::string bundle = fs_bytes(bundle_path);
        const std::optional<std::string> engine = optional_path(engine_path);
        std::unique_ptr<PyPolicy> policy;
        const LoaderEnv env = loader_env(mod, policy);
        BundleLoad b;
        try {
          nb::gil_scoped_release unlocked;
          b = load_bundle(halvane::Bundle(bundle), engine, env);
        } catch (const BundleFatal& e) {
          throw halvane::RuntimeError(e.what());  // the FATAL line is logged; the caller decides
        }
        nb::list paths;
        for (const std::string& p : b.paths) paths.append(fs_text(p));
        return nb::make_tuple(paths, b.nm, halvane::py::tensor_to_numpy(b.canon));
      },
      nb::arg("bundle"), nb::arg("engine").none() = nb::none());
  m.def(
      "load_color_correct",
      [mod](nb::handle bundle_path) {
        const std::string bundle = fs_bytes(bundle_path);
        std::unique_ptr<PyPolicy> policy;
        const LoaderEnv env = loader_env(mod, policy);
        std::pair<std::shared_ptr<const ColorCorrect>, std::string> r;
        {
          nb::gil_scoped_release unlocked;
          r = load_color_correct(halvane::Bundle(bundle), env);
        }
        return nb::make_tuple(std::const_pointer_cast<ColorCorrect>(r.first), fs_text(r.second));
      },
      nb::arg("bundle"));
  m.def(
      "read_exact",
      [](size_t n) -> nb::object {
        std::string buf(n, '\0');
        const bool ok = as_program([&] {
          nb::gil_scoped_release unlocked;
          return read_exact(host_in(), buf.data(), n);
        });
        if (!ok || n == 0) return nb::none();
        return nb::bytes(buf.data(), buf.size());
      },
      nb::arg("n"), "Exactly n bytes of standard input, or None when it ends first.");
  m.def(
      "write_frame",
      [](nb::handle idx, nb::handle rgb) {
        Records r;
        r.add(idx, rgb);
        as_program([&] {
          nb::gil_scoped_release unlocked;
          r.write(host_out());
        });
      },
      nb::arg("idx"), nb::arg("rgb"));
  m.def(
      "emit",
      [](nb::handle items) {
        Records r;
        for (nb::handle it : nb::iter(items)) r.add(it[0], it[1]);
        as_program([&] {
          nb::gil_scoped_release unlocked;
          r.write(host_out());
          if (!r.index.empty()) host_out().flush();
        });
      },
      nb::arg("frames"));
}

}  // namespace halvane::zephan2::py
