// The base-verification policy module (`_SED`) behind the C++ BasePolicy
// interface, and the Python surface of the shared encoder search.
#include "zephan2/host/shared_enc.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common/fspath.h"
#include "bindings/zephan2/module.h"
#include "zephan2/messages.h"

namespace halvane::zephan2::py {

using halvane::py::fs_bytes;
using halvane::py::fs_text;

PyPolicy::PyPolicy(nb::handle module) : mod_(nb::borrow(module)) {}

PyPolicy::~PyPolicy() {
  nb::gil_scoped_acquire gil;
  mod_.reset();
}

std::string PyPolicy::shared_enc_id() {
  nb::gil_scoped_acquire gil;
  return nb::cast<std::string>(nb::str(mod_.attr("SHARED_ENC_ID")));
}

std::optional<std::string> PyPolicy::declared_sha(std::string_view manifest) {
  nb::gil_scoped_acquire gil;
  try {
    // Python's own decoder and JSON reader: strict UTF-8, any nesting depth
    // ends in an exception rather than a crash.
    nb::object text = nb::bytes(manifest.data(), manifest.size()).attr("decode")("utf-8");
    nb::object deps = nb::module_::import_("json").attr("loads")(text).attr("get")("dependencies");
    nb::object sha = mod_.attr("base_sha256_of")(deps);
    if (!nb::isinstance<nb::str>(sha)) return std::nullopt;
    return nb::cast<std::string>(sha);
  } catch (const nb::python_error&) {
    return std::nullopt;  // a malformed manifest or a failing policy declares nothing
  }
}

std::vector<std::string> PyPolicy::store_candidates(const std::string& want) {
  nb::gil_scoped_acquire gil;
  nb::object dirs = mod_.attr("dependency_store_dirs")();
  std::vector<std::string> out;
  for (nb::handle p : nb::iter(mod_.attr("store_candidates")(want, dirs))) out.push_back(fs_bytes(p));
  return out;
}

bool PyPolicy::verify_base(const std::string& path, const std::string& want) {
  nb::gil_scoped_acquire gil;
  return nb::cast<bool>(nb::bool_(mod_.attr("verify_base")(fs_text(path), want)));
}

std::unique_ptr<PyPolicy> policy_of(nb::handle host_module) {
  nb::object sed = host_module.attr("_SED");
  if (sed.is_none()) return nullptr;
  return std::make_unique<PyPolicy>(sed);
}

void bind_shared_enc(nb::module_& m) {
  nb::handle mod = m;
  m.def(
      "_declared_base_sha",
      [mod](nb::handle bundle_path) {
        const std::string bundle = fs_bytes(bundle_path);
        auto policy = policy_of(mod);
        nb::gil_scoped_release unlocked;
        try {
          return declared_base_sha(halvane::Bundle(bundle), policy.get());
        } catch (const std::exception&) {
          return std::optional<std::string>();  // an unreadable bundle declares nothing
        }
      },
      nb::arg("bundle"));
  m.def(
      "_resolve_shared_enc",
      [mod](nb::handle bundle_path, nb::handle engine_path, std::optional<std::string> want_sha) {
        const std::string bundle = fs_bytes(bundle_path);
        std::optional<std::string> engine;
        if (!engine_path.is_none()) engine = fs_bytes(engine_path);
        auto policy = policy_of(mod);
        if (!policy) throw halvane::RuntimeError(msg::kPolicyNotLoaded);
        SharedEnc r;
        {
          nb::gil_scoped_release unlocked;
          r = resolve_shared_enc(halvane::Bundle(bundle), engine, want_sha, *policy);
        }
        return nb::make_tuple(r.path ? nb::object(fs_text(*r.path)) : nb::none(), fs_text(r.how));
      },
      nb::arg("bundle"), nb::arg("engine").none(), nb::arg("want_sha").none() = nb::none());
}

}  // namespace halvane::zephan2::py
