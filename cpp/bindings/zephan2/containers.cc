// The Python surface of the bundle reader: `_imx_toc`, `_member_bytes` and
// `_listing`, each opening the bundle for the one call.
#include "bundle/bundle.h"
#include "bundle/imx.h"
#include "bindings/common/fspath.h"
#include "bindings/zephan2/module.h"
#include "common/file.h"
#include "common/text.h"

namespace halvane::zephan2::py {

using halvane::py::fs_bytes;
using halvane::py::fs_text;

void bind_containers(nb::module_& m) {
  m.def(
      "_imx_toc",
      [](nb::handle path) -> nb::object {
        std::string p = fs_bytes(path);
        std::optional<std::vector<halvane::ImxEntry>> toc;
        {
          nb::gil_scoped_release unlocked;
          toc = halvane::imx_toc(halvane::File(p), halvane::py_repr(p) + ": ");
        }
        if (!toc) return nb::none();
        nb::list out;
        for (const halvane::ImxEntry& e : *toc) out.append(nb::make_tuple(fs_text(e.nm), e.off, e.size));
        return out;
      },
      nb::arg("path"), "The member table [(nm, off, size), ...] of an IMX container, or None for another file.");
  m.def(
      "_member_bytes",
      [](nb::handle bundle, nb::handle names) -> nb::object {
        std::string b = fs_bytes(bundle);
        std::vector<nb::object> objs;
        std::vector<std::string> texts;
        for (nb::handle n : names) {
          objs.push_back(nb::borrow(n));
          texts.push_back(fs_bytes(n));
        }
        std::optional<std::string> found;
        std::string bytes;
        {
          nb::gil_scoped_release unlocked;
          const halvane::Bundle opened(b);
          found = opened.first_of(texts);
          if (found) bytes = opened.read(*found);
        }
        if (!found) return nb::make_tuple(nb::none(), nb::none());
        size_t i = 0;
        while (texts[i] != *found) ++i;  // the caller's own object for the requested name
        return nb::make_tuple(objs[i], nb::bytes(bytes.data(), bytes.size()));
      },
      nb::arg("bundle"), nb::arg("names"),
      "(name, bytes) of the first of `names` the bundle holds, else (None, None).");
  m.def(
      "_listing",
      [](nb::handle bundle) {
        std::string b = fs_bytes(bundle);
        std::vector<std::string> names;
        {
          nb::gil_scoped_release unlocked;
          names = halvane::Bundle(b).listing();
        }
        nb::list out;
        for (const std::string& n : names) out.append(fs_text(n));
        return out;
      },
      nb::arg("bundle"), "Member names of a bundle: directory entries, or IMX/ZIP basenames in table order.");
}

}  // namespace halvane::zephan2::py
