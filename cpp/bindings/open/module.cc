// The offline interface: open() and Avatar.render().
#include "bindings/common/errors.h"
#include "bindings/open/module.h"
#include "bindings/open/outside.h"

NB_MODULE(_open, m) {
  halvane::py::register_errors();
  halvane::open::py::note_module(m);
  halvane::open::py::bind_intake(m);
  halvane::open::py::bind_render(m);
  halvane::open::py::bind_fixture(m);
  halvane::open::py::bind_session_engine(m);
  halvane::open::py::bind_cache(m);
  halvane::open::py::bind_opener(m);
}
