#include "zephan2/host/q8gd.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <nlohmann/json.hpp>

#include "bindings/zephan2/module.h"
#include "common/errors.h"

namespace z2::py {

namespace {

using json = nlohmann::json;
using namespace nb::literals;

// An interruption (KeyboardInterrupt, SystemExit) met while reading the
// runtime version. It is no std::exception, so it passes the selection's
// guard and is raised again once the selection has unwound.
struct Interrupted {
  nb::python_error error;
};

std::string path_text(nb::handle p) { return nb::cast<std::string>(nb::module_::import_("os").attr("fspath")(p)); }

// A decoded JSON value handed over from Python, as the manifest reader would
// have produced it.
json manifest_json(nb::handle manifest) {
  const auto text = nb::cast<std::string>(nb::module_::import_("json").attr("dumps")(manifest, "allow_nan"_a = false));
  try {
    return json::parse(text);
  } catch (const json::exception& e) {
    throw halvane::ValueError(e.what());
  }
}

nb::object python_value(const json& v) { return nb::module_::import_("json").attr("loads")(v.dump()); }

}  // namespace

std::optional<std::string> litert_runtime_version() {
  nb::gil_scoped_acquire gil;
  try {
    nb::object v = nb::module_::import_("importlib.metadata").attr("version")("ai-edge-litert");
    return nb::cast<std::string>(nb::str(v));
  } catch (const nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an interruption or exit request
    return std::nullopt;                     // not installed, or metadata unreadable
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void bind_q8gd(nb::module_& m) {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const Q8gdError& e) {
      PyObject* kind = e.kind == "AttributeError"   ? PyExc_AttributeError
                       : e.kind == "TypeError"      ? PyExc_TypeError
                       : e.kind == "RecursionError" ? PyExc_RecursionError
                                                    : PyExc_ValueError;  // the decode errors' base
      PyErr_SetString(kind, e.what());
    }
  });

  m.def("litert_runtime_version", &litert_runtime_version,
        "Version of the installed ai-edge-litert distribution, or None.");
  m.def(
      "_select_q8gd",
      [](nb::handle bundle, nb::handle cpuinfo) {
        const std::string b = path_text(bundle), cpu = path_text(cpuinfo);
        const RuntimeVersionFn version = [] {
          try {
            return litert_runtime_version();
          } catch (nb::python_error& e) {
            throw Interrupted{std::move(e)};
          }
        };
        try {
          nb::gil_scoped_release unlocked;
          Q8gdChoice c = select_q8gd(b, version, cpu);
          return std::make_pair(std::move(c.path), std::move(c.report));
        } catch (Interrupted& i) {
          throw nb::python_error(std::move(i.error));
        }
      },
      "bundle"_a, "cpuinfo"_a = "/proc/cpuinfo",
      "(path of the int8-decoder variant to serve or None, report text; empty when it does not apply).");
  m.def(
      "int8_dot_isa",
      [](nb::handle cpuinfo) {
        const std::string cpu = path_text(cpuinfo);
        nb::gil_scoped_release unlocked;
        return int8_dot_isa(cpu);
      },
      "cpuinfo"_a = "/proc/cpuinfo", "The processor's int8 dot-product flag (avx512_vnni before avx_vnni), or None.");
  m.def(
      "_q8gd_bound",
      [](nb::handle manifest) {
        auto [want, why] = q8gd_bound(manifest_json(manifest));
        return nb::make_tuple(want ? python_value(*want) : nb::none(), why);
      },
      "manifest"_a, "(declared variant digest, 'bound') when the manifest binds the variant, else (None, reason).");
  m.def(
      "_q8gd_runtime_ok",
      [](nb::handle manifest, std::optional<std::string> running) {
        return q8gd_runtime_ok(manifest_json(manifest), running);
      },
      "manifest"_a, "running"_a.none(), "(whether the running LiteRT runtime passes the variant's gate, reason).");
}

}  // namespace z2::py
