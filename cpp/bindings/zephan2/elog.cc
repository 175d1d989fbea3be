#include "zephan2/inference/elog.h"

#include <string>
#include <vector>

#include "bindings/zephan2/module.h"

namespace z2::py {

void bind_elog(nb::module_& m) {
  m.def(
      "_elog",
      [](nb::args args) {
        std::vector<std::string> texts;
        for (nb::handle a : args) texts.emplace_back(nb::str(a).c_str());
        std::vector<std::string_view> views(texts.begin(), texts.end());
        nb::gil_scoped_release unlocked;
        elog(views);
      },
      "Write one log line to standard error and flush it.");
}

}  // namespace z2::py
