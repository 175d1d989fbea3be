// The offline interface: open() and Avatar.render().
#include "bindings/common/errors.h"
#include "bindings/common/signatures.h"
#include "bindings/open/module.h"
#include "bindings/open/outside.h"

namespace {

void exec_open(nanobind::module_ m) {
  halvane::py::register_errors();
  halvane::open::py::note_module(m);
  halvane::open::py::bind_intake(m);
  halvane::open::py::bind_render(m);
  halvane::open::py::bind_fixture(m);
  halvane::open::py::bind_session_engine(m);
  halvane::open::py::bind_cache(m);
  halvane::open::py::bind_opener(m);
  halvane::py::sign(m, {"open"});
  halvane::py::sign(m.attr("Avatar"), {"render", "__enter__", "__exit__"});
}

// The module's set-up as NB_MODULE runs it, except that a Python error raised
// while setting up reaches the importer as it was raised (NB_MODULE would wrap
// it in an ImportError): a HALVANE_RENDER_QUIET that is not a number fails the
// import with float()'s own ValueError. These are NB_MODULE's own steps as
// nanobind 3.1 writes them, which is why the build pins that release.
int exec_slot(PyObject* m) {
  nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);
  if (!nanobind::detail::internals) return -1;
  try {
    exec_open(nanobind::borrow<nanobind::module_>(m));
    return 0;
  } catch (nanobind::python_error& e) {
    e.restore();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  }
  return -1;
}

PyObject* module_def = nullptr;

}  // namespace

extern "C" NB_EXPORT PyObject* PyInit__open(void) {
  nanobind::detail::init_singletons();
  if (!nanobind::detail::nb_backend_init("_open")) return nullptr;
  if (!module_def)
    module_def = NB_CALL(module_new)("_open", nullptr, reinterpret_cast<void*>(exec_slot), NB_ABI_MINOR_TAG);
  return module_def;
}
