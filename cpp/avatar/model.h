// When an avatar has a model, and what a failed model swap puts back,
// without I/O. set_model() names the new engine before the load (so that the
// loader installs the model under it); a load that fails leaves the avatar
// on its previous model: the engine id (or its absence), the fixture and the
// runtime as they were before it, so the id never names a model whose
// runtime is not the one in place. A cancelled wait puts nothing back: the
// loader thread cannot be stopped and will still install the new model.
//
// Opaque objects; the caller reads the avatar before the load and writes
// what comes back. No Python here. Not thread-safe: the event loop's thread.
#pragma once

#include <optional>
#include <utility>

namespace halvane::avatar {

// A model is loaded when both its fixture and its runtime are set.
inline bool model_loaded(bool fixture, bool runtime) { return fixture && runtime; }

// The avatar's model as it was before a swap.
template <class Obj>
struct ModelBefore {
  std::optional<Obj> engine_id;  // nullopt: the avatar had none
  Obj fixture;
  Obj runtime;
};

enum class LoadEnd {
  loaded,     // the new model is in place
  failed,     // the load raised an ordinary error
  abandoned,  // the wait was cancelled or interrupted: the load may still finish
};

// Writes back what `end` calls for, through `avatar`'s set_engine_id(id),
// forget_engine_id(), set_fixture(f) and set_runtime(r), in that order.
// True when anything was put back.
template <class Obj, class Avatar>
bool put_back(LoadEnd end, const ModelBefore<Obj>& before, Avatar& avatar) {
  if (end != LoadEnd::failed) return false;
  if (before.engine_id)
    avatar.set_engine_id(*before.engine_id);
  else
    avatar.forget_engine_id();
  avatar.set_fixture(before.fixture);
  avatar.set_runtime(before.runtime);
  return true;
}

}  // namespace halvane::avatar
