#include "zephan2/host/q8gd.h"

#include "common/errors.h"

namespace z2 {

namespace {

Q8gdSelectFn installed = nullptr;

}  // namespace

void install_q8gd_select(Q8gdSelectFn select) { installed = select; }

Q8gdChoice select_q8gd(const std::string& bundle) {
  if (!installed) throw halvane::RuntimeError("the int8-variant selection is not installed");
  return installed(bundle);
}

}  // namespace z2
