// The public functions of a module or class as inspect.signature() and help()
// read them: nanobind keeps a function's signature only in __nb_signature__,
// so halvane._signatures.sign puts in each one's place a Python function that
// carries the signature its binding declares (nb::sig, argument names and
// defaults) and passes every call on unchanged.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace halvane::py {

namespace nb = nanobind;

inline void sign(nb::handle owner, std::initializer_list<const char*> names) {
  nb::list list;
  for (const char* name : names) list.append(name);
  nb::module_::import_("halvane._signatures").attr("sign")(owner, list);
}

}  // namespace halvane::py
