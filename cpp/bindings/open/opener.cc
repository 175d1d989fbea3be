// open(): from the path of an avatar to an Avatar bound to a built engine.
//
// The engine id from the avatar's manifest chooses the engine kind; every
// foreseen failure of an engine package reaches the caller as one of the
// offline error kinds, raised without the package's exception as its cause.
// Outside modules are imported at the moment of use, and the module's own
// helpers (_engine_of, _build_engine, ...) are looked up as globals at each
// call, as Python code finds them.
#include <Python.h>

#include "bindings/open/module.h"
#include "bindings/open/outside.h"
#include "open/messages.h"

namespace halvane::open::py {

using namespace nb::literals;

namespace {

constexpr const char* kCodePattern = "^[A-Z][A-Z0-9]{9}$";
constexpr const char* kNoManifestEngine = "ostrel1";

nb::object errors_attr(const char* name) { return outside("_errors").attr(name); }

// `raise kind(message)` for an error kind of the error module.
[[noreturn]] void raise_kind(const char* kind, nb::handle message) {
  raise_error(errors_attr(kind)(message));
}

bool holds(const char* set_name, nb::handle engine_id) {
  const int r = PySequence_Contains(module_global(set_name).ptr(), engine_id.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

nb::object frozen(std::initializer_list<const char*> ids) {
  nb::list l;
  for (const char* id : ids) l.append(nb::str(id));
  return check(PyFrozenSet_New(l.ptr()));
}

// An engine built but not handed to an Avatar is ended before the error that
// stopped it goes on: a zephan-2 engine holds a running host.
void close_quietly(nb::handle engine) {
  ignoring_exceptions([&] { engine.attr("close")(); });
}

nb::object avatar_of(nb::handle engine, nb::handle engine_id) {
  try {
    return module_global("Avatar")(engine, engine_id);
  } catch (...) {
    close_quietly(engine);
    throw;
  }
}

nb::object engine_of(nb::handle source) {
  nb::module_ reader = outside("_imx_engine");
  nb::object manifest = reader.attr("read_manifest")(source);
  if (manifest.is_none()) return nb::str(kNoManifestEngine);
  return reader.attr("resolve_engine")(manifest);
}

bool ostrel1_runtime_present() {
  nb::object core;
  try {
    core = outside("_core");
  } catch (nb::python_error& e) {
    if (e.matches(PyExc_ImportError)) return true;
    throw;
  }
  nb::object only = nb::getattr(core, "ENGINE_ONLY", nb::bool_(false));
  return !truthy(only);
}

bool apple_host_bundled() {
  try {
    return !outside("_zephan2._apple").attr("bundled_host")().is_none();
  } catch (nb::python_error& e) {
    if (e.matches(PyExc_Exception)) return false;
    throw;
  }
}

// The handlers that the two zephan-2 builders and _open_engine share; the
// AvatarOutdated handler is _open_engine's alone (`outdated` None elsewhere).
[[noreturn]] void map_engine_error(nb::python_error& e, nb::handle unavailable, nb::handle failed,
                                   nb::handle outdated) {
  if (e.matches(errors_attr("AvatarError"))) throw;
  nb::object exc = nb::borrow(e.value());
  if (e.matches(unavailable)) {
    raise_from_none(refused("NotSupported", exc.attr("args")[0], exc.attr("detail")), e);
  }
  if (outdated.is_valid() && e.matches(outdated)) {
    nb::object message = exc.attr("args")[0];
    refused("InvalidAvatar", message, exc.attr("detail"));
    raise_from_none(errors_attr("_Outdated")(message, exc.attr("code")), e);
  }
  if (e.matches(failed)) {
    raise_from_none(refused("Failed", exc.attr("args")[0], exc.attr("detail")), e);
  }
  if (e.matches(PyExc_OSError)) {
    raise_from_none(refused("Failed", nb::str(kNotPrepared), exc), e);
  }
  throw;
}

nb::object zephan2_engine(nb::handle source) { return outside("_zephan2").attr("Zephan2Engine")(source); }

nb::object open_engine(nb::handle source, nb::handle engine_id, nb::handle prebuilt) {
  nb::module_ session = outside("_session");
  nb::object outdated = session.attr("AvatarOutdated");
  nb::object failed = session.attr("EngineFailed");
  nb::object unavailable = session.attr("EngineUnavailable");
  if (!prebuilt.is_none()) return avatar_of(prebuilt, engine_id);
  nb::object engine;
  try {
    if (holds("_SESSION", engine_id)) {
      engine = module_global("_SessionEngine")(source);
    } else if (holds("_FIXTURE", engine_id)) {
      engine = module_global("_FixtureEngine")(source);
    } else if (holds("_VUDIDA", engine_id)) {
      engine = zephan2_engine(source);
    } else if (holds("_UNIFIED", engine_id)) {
      engine = module_global("_unified_engine")(source);
    } else {
      raise_kind("NotSupported", text(cannot_run_message()));
    }
  } catch (nb::python_error& e) {
    map_engine_error(e, unavailable, failed, outdated);
  }
  return avatar_of(engine, engine_id);
}

nb::object build_engine(nb::handle source, nb::handle /*engine_id*/) {
  nb::module_ session = outside("_session");
  nb::object failed = session.attr("EngineFailed");
  nb::object unavailable = session.attr("EngineUnavailable");
  try {
    return zephan2_engine(source);
  } catch (nb::python_error& e) {
    map_engine_error(e, unavailable, failed, nb::handle());
  }
}

nb::object unified_engine(nb::handle source) {
  nb::module_ o2u = outside("_o2u.engine");
  nb::object engine_class = o2u.attr("O2UEngine");
  nb::object invalid = o2u.attr("O2UInvalid");
  nb::object unavailable = o2u.attr("O2UUnavailable");
  nb::object bundle = module_global("_materialise")(source);
  try {
    return engine_class(bundle);
  } catch (nb::python_error& e) {
    const bool is_unavailable = e.matches(unavailable);
    if (!is_unavailable && !e.matches(invalid)) throw;
    nb::object exc = nb::borrow(e.value());
    nb::object first = exc.attr("args")[0];
    nb::object message = check(PyObject_Str(first.ptr()));
    nb::object cause = exc.attr("__cause__");
    nb::str detail = nb::repr(!cause.is_none() && truthy(cause) ? cause : exc);
    raise_from_none(refused(is_unavailable ? "NotSupported" : "InvalidAvatar", message, detail), e);
  }
}

// os.fspath() for path-like objects; anything else as it is.
nb::object fspath_of(nb::handle source) {
  if (PyUnicode_Check(source.ptr()) || PyBytes_Check(source.ptr())) return nb::borrow(source);
  if (!nb::hasattr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(source.ptr()))), "__fspath__"))
    return nb::borrow(source);
  return check(PyOS_FSPath(source.ptr()));
}

nb::object open_avatar(nb::handle source) {
  nb::object path = fspath_of(source);
  if (!PyUnicode_Check(path.ptr())) {
    nb::handle type(reinterpret_cast<PyObject*>(Py_TYPE(path.ptr())));
    raise_error(PyExc_TypeError, concat(kNotText, type.attr("__name__")));
  }
  if (PyUnicode_GetLength(path.ptr()) == 0) raise_kind("InvalidAvatar", nb::str(kEmpty));
  if (!truthy(nb::module_::import_("os.path").attr("exists")(path))) {
    if (!module_global("_CODE").attr("match")(path).is_none()) raise_kind("NotSupported", text(held_message(utf8(path))));
    raise_kind("InvalidAvatar", concat(kNoAvatar, path));
  }
  nb::object engine_id;
  try {
    engine_id = module_global("_engine_of")(path);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_OSError)) throw;
    raise_from_none(refused("InvalidAvatar", nb::str(kUnusable), e.value()), e);
  }
  if (holds("_FIXTURE", engine_id) && !truthy(module_global("_ostrel1_runtime_present")()))
    raise_kind("NotSupported", text(cannot_run_message()));
  nb::object prebuilt = nb::none();
  if (holds("_VUDIDA", engine_id) && truthy(module_global("_apple_host_bundled")()))
    prebuilt = module_global("_build_engine")(path, engine_id);
  try {
    return module_global("_open_engine")(path, engine_id, prebuilt);
  } catch (...) {
    if (!prebuilt.is_none()) close_quietly(prebuilt);
    throw;
  }
}

}  // namespace

void bind_opener(nb::module_& m) {
  m.attr("_SESSION") = frozen({"ostrel2-light", "ostrel2-golden"});
  m.attr("_FIXTURE") = frozen({"ostrel1"});
  m.attr("_VUDIDA") = frozen({"zephan2"});
  m.attr("_UNIFIED") = frozen({"ostrel2-unified"});
  m.attr("_CODE") = nb::module_::import_("re").attr("compile")(kCodePattern);

  m.def("open", &open_avatar, "source"_a.none(),
        nb::sig("def open(source: str | os.PathLike[str]) -> Avatar"),
        "The Avatar of the avatar at `source` (a path), its engine built.");
  m.def("_engine_of", &engine_of, "source"_a.none(), "The engine id of the avatar at `source`.");
  m.def("_ostrel1_runtime_present", &ostrel1_runtime_present, "Whether ostrel1 avatars can run here.");
  m.def("_apple_host_bundled", &apple_host_bundled,
        "Whether the zephan-2 package offers its prebuilt host on this machine.");
  m.def("_open_engine", &open_engine, "source"_a.none(), "engine_id"_a.none(), "prebuilt"_a.none() = nb::none(),
        "The Avatar of `source` around `prebuilt`, or around the engine built for `engine_id`.");
  m.def("_build_engine", &build_engine, "source"_a.none(), "engine_id"_a.none(),
        "A zephan-2 engine for `source`, built ahead of _open_engine.");
  m.def("_unified_engine", &unified_engine, "source"_a.none(),
        "The engine of an ostrel2-unified avatar, from its copy in the avatar cache.");
}

}  // namespace halvane::open::py
