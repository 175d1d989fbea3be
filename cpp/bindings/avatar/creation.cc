// Creation and model loading: `create` builds an avatar for a model file and
// loads it; `set_model` swaps the model of an existing avatar.
//
// Threading: both are coroutines on the caller's event loop. The model load
// itself (`_load_fixture_blocking`, the bundle loader's) runs on a thread of
// the loop's default executor and sets `_fixture` and `_runtime` there; the
// loop keeps serving other tasks meanwhile. `set_model` stops the session's
// tasks before it loads, so nothing of this avatar runs during the load.
#include <exception>
#include <optional>
#include <string>

#include "avatar/model.h"
#include "bindings/avatar/messages.h"
#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

namespace {

using aio::Co;
using aio::py::await_;

// `model_path` with a leading "~" expanded, as a pathlib path.
nb::object expanded(nb::handle model_path) {
  return nb::module_::import_("pathlib").attr("Path")(model_path).attr("expanduser")();
}

// The expanded path's text; ModelNotFoundError when nothing exists there.
nb::object existing_path_text(nb::handle model_path) {
  nb::object path = expanded(model_path);
  nb::object text = nb::str(path);
  if (!truthy(path.attr("exists")()))
    raise_(env().ModelNotFoundError, msg::kModelNotFound + nb::cast<std::string>(text));
  return text;
}

nb::object engine_id_for(nb::handle path_text) {
  return nb::module_::import_("halvane._imx_engine").attr("engine_id_for_path")(path_text);
}

// Runs the blocking loader on the loop's default executor.
aio::py::Await load_in_executor(nb::handle loop, nb::handle self, nb::handle path_text) {
  return await_(loop.attr("run_in_executor")(nb::none(), self.attr("_load_fixture_blocking"), path_text));
}

Co<nb::object> create(nb::object cls, nb::object model_path, nb::object input_buffer_size,
                      nb::object output_buffer_size, nb::object num_threads, nb::object output_size) {
  if (model_path.is_none()) raise_(PyExc_ValueError, msg::kModelPathRequired);
  nb::object text = existing_path_text(model_path);
  nb::object avatar = cls(nb::arg("input_buffer_size") = input_buffer_size,
                          nb::arg("output_buffer_size") = output_buffer_size, nb::arg("output_size") = output_size,
                          nb::arg("num_threads") = num_threads);
  Session(avatar).set_engine_id(engine_id_for(text));
  co_await load_in_executor(env().get_running_loop(), avatar, text);
  co_return avatar;
}

// A load that fails leaves the avatar on its previous model (avatar/model.h
// says what comes back). The session stays stopped.
Co<nb::object> set_model(nb::handle self, nb::object model_path) {
  nb::object text = existing_path_text(model_path);
  co_await call(self, "stop");
  nb::object loop = env().get_running_loop();
  const Session s(self);
  const ModelBefore<nb::object> before{s.engine_id_if_set(), s.fixture(), s.runtime()};
  s.set_engine_id(engine_id_for(text));
  LoadEnd end = LoadEnd::loaded;
  std::exception_ptr error;
  try {
    co_await load_in_executor(loop, self, text);
  } catch (nb::python_error& e) {
    end = ordinary(e) ? LoadEnd::failed : LoadEnd::abandoned;
    error = std::current_exception();
  }
  put_back(end, before, s);
  if (error) std::rethrow_exception(error);
  co_return nb::none();
}

}  // namespace

void add_creation(Members& ns) {
  using namespace nb::literals;
  ns["create"] = class_method(
      [](nb::object cls, nb::object model_path, nb::object input_buffer_size, nb::object output_buffer_size,
         nb::object num_threads, nb::object /*verbose*/, nb::object /*batch_workers*/, nb::object /*quality*/,
         nb::object /*identity*/, nb::object output_size) {
        return aio::py::coroutine(create(std::move(cls), std::move(model_path), std::move(input_buffer_size),
                                         std::move(output_buffer_size), std::move(num_threads),
                                         std::move(output_size)),
                                  "create");
      },
      nb::kw_only(), "model_path"_a.none() = nb::none(), "input_buffer_size"_a.none() = 0,
      "output_buffer_size"_a.none() = 6, "num_threads"_a.none() = 0, "verbose"_a.none() = nb::none(),
      "batch_workers"_a.none() = 1, "quality"_a.none() = "medium",
      "identity"_a.none() = nb::none(), "output_size"_a.none() = const_o("_DEFAULT_OUTPUT_SIZE"),
      nb::sig("def create(cls, *, model_path: str | os.PathLike[str] | None = None, input_buffer_size: int = 0, "
              "output_buffer_size: int = 6, num_threads: int = 0, verbose: bool | None = None, "
              "batch_workers: int = 1, quality: str = 'medium', identity: str | None = None, "
              "output_size: tuple[int, int] | None = (1280, 720)) -> "
              "collections.abc.Coroutine[typing.Any, typing.Any, typing.Self]"),
      "A new session with the model at model_path loaded (verbose, batch_workers, quality, identity: ignored).");
  ns["set_model"] = method(
      [](nb::object self, nb::object model_path) {
        return aio::py::coroutine(set_model(self, std::move(model_path)), "set_model", self);
      },
      "model_path"_a.none(),
      nb::sig("def set_model(self, model_path: str | os.PathLike[str]) -> "
              "collections.abc.Coroutine[typing.Any, typing.Any, None]"),
      "Stops the session and loads the model at model_path in place of the current one.");
}

}  // namespace halvane::avatar::py
