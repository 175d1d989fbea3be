// How an avatar describes its stream: the settings object (its FPS is the
// loaded model's frame rate), the read-only properties of frame size, frame
// rate, audio rate and samples per tick, the transaction id, and the members
// kept for callers of the earlier interface that do nothing.
//
// Threading: all synchronous and run on the caller's thread (the event loop's
// for the session's own tasks); nothing blocks. `_engine_fps` derives the
// rate afresh from the fixture current at each read.
#include "avatar/settings.h"
#include "bindings/avatar/messages.h"
#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

namespace {

using aio::Co;

nb::object builtins() { return nb::module_::import_("builtins"); }
nb::object new_uuid_text() { return nb::str(nb::module_::import_("uuid").attr("uuid4")()); }

// AsyncAvatar._SettingsProxy: a plain class whose FPS a caller publishes its
// video track with; the other settings are class attributes shared by all.
nb::object settings_proxy_class() {
  using namespace nb::literals;
  nb::object b = builtins();
  nb::object int_t = b.attr("int"), bool_t = b.attr("bool");
  nb::dict annotations;
  annotations["FPS"] = int_t;
  annotations["INPUT_SAMPLE_RATE"] = int_t;
  annotations["PROCESS_IDLE_VIDEO"] = bool_t;
  annotations["ALLOW_VIDEO_SCRIPT_UPDATE"] = bool_t;
  annotations["OUTPUT_WIDTH"] = int_t;
  nb::dict ns;
  ns["__module__"] = env().module.attr("__name__");
  ns["__doc__"] = "The stream settings of one session, as its frame rate stood when they were read.";
  ns["__annotations__"] = annotations;
  ns["FPS"] = const_o("_FPS");
  ns["INPUT_SAMPLE_RATE"] = const_o("_SAMPLE_RATE_HZ");
  ns["PROCESS_IDLE_VIDEO"] = nb::bool_(false);
  ns["ALLOW_VIDEO_SCRIPT_UPDATE"] = nb::bool_(true);
  ns["OUTPUT_WIDTH"] = nb::int_(1280);
  ns["__init__"] = method([](nb::handle self, nb::handle fps) { set(self, "FPS", py_int(fps)); },
                          "fps"_a.none() = const_o("_FPS"));
  return b.attr("type")("_SettingsProxy", nb::make_tuple(b.attr("object")), ns);
}

// The model's numbers as model_fps() (avatar/settings.h) asks for them.
struct FpsProbe {
  nb::handle self;
  nb::object fixture, spt, sr, q;

  bool loaded() {
    fixture = Session(self).fixture();
    return !fixture.is_none();
  }
  bool read() {
    return or_else(
        [&] {
          spt = py_int(fixture.attr("audio_samples_per_tick"));
          sr = py_int(fixture.attr("audio_sample_rate"));
          return true;
        },
        false);
  }
  bool samples_positive() { return gt_zero(spt); }
  bool rate_positive() { return gt_zero(sr); }
  bool quotient_positive() {
    q = check(PyNumber_FloorDivide(sr.ptr(), spt.ptr()));
    return gt_zero(q);
  }
};

nb::object engine_fps(nb::handle self) {
  FpsProbe probe{self};
  switch (model_fps(probe)) {
    case Fps::fallback:
      break;
    case Fps::quotient:
      return probe.q;
    case Fps::one:
      return nb::int_(1);
  }
  return const_o("_FPS");
}

// frame_width / frame_height: None without a model; the output size when one
// is set; else the model's own.
nb::object frame_dim(nb::handle self, int index, const char* fixture_attr) {
  nb::object fixture = Session(self).fixture();
  if (fixture.is_none()) return nb::none();
  nb::object size = Session(self).output_size();
  if (!size.is_none()) {
    return py_int(check(PyObject_GetItem(size.ptr(), nb::int_(index).ptr())));
  }
  return py_int(fixture.attr(fixture_attr));
}

Co<nb::object> start_nothing() { co_return nb::none(); }

}  // namespace

void add_settings(Members& ns) {
  using namespace nb::literals;
  ns["set_identity"] = method([](nb::handle, nb::handle) {}, "identity"_a.none(),
                              nb::sig("def set_identity(self, identity: str) -> None"),
                              "Does nothing: an avatar's face is fixed when its model is packed.");
  ns["_SettingsProxy"] = settings_proxy_class();
  ns["settings"] = property([](nb::handle self) { return self.attr("_SettingsProxy")(self.attr("_engine_fps")); },
                            nb::sig("def settings(self) -> typing.Any"),
                            "The stream's settings (FPS, INPUT_SAMPLE_RATE, ...), a new object at each read.");
  ns["_engine_fps"] = property(&engine_fps);
  ns["start"] = method([](nb::handle, nb::kwargs) { return aio::py::coroutine(start_nothing(), "start"); },
                       nb::sig("def start(self, **kwargs: typing.Any) -> "
                               "collections.abc.Coroutine[typing.Any, typing.Any, None]"),
                       "Does nothing: create() loads the model and run() starts the session.");
  ns["video_graph"] = property([](nb::handle) { return nb::none(); }, nb::sig("def video_graph(self) -> None"),
                               "Always None: there is no video graph.");
  ns["transaction_id"] = property([](nb::handle self) {
    nb::object id = Session(self).transaction_id();
    if (truthy(id)) return id;
    id = new_uuid_text();
    Session(self).set_transaction_id(id);
    return id;
  }, nb::sig("def transaction_id(self) -> str"), "A random UUID naming this session in logs, made at first read.");
  ns["_regenerate_transaction_id"] = method([](nb::handle self) { Session(self).set_transaction_id(new_uuid_text()); });
  ns["frame_width"] = property([](nb::handle self) { return frame_dim(self, 0, "frame_width"); },
                               nb::sig("def frame_width(self) -> int | None"),
                               "Width of the session's pictures; None without a model.");
  ns["frame_height"] = property([](nb::handle self) { return frame_dim(self, 1, "frame_height"); },
                                nb::sig("def frame_height(self) -> int | None"),
                                "Height of the session's pictures; None without a model.");
  ns["sample_rate"] = property([](nb::handle) { return const_o("_SAMPLE_RATE_HZ"); },
                               nb::sig("def sample_rate(self) -> int"), "Sample rate of the frames' audio: 16000 Hz.");
  ns["fps"] = property([](nb::handle self) { return self.attr("_engine_fps"); }, nb::sig("def fps(self) -> int"),
                       "The model's frame rate (25 without a model).");
  ns["samples_per_tick"] = property([](nb::handle self) {
    nb::object fixture = Session(self).fixture();
    if (fixture.is_none()) raise_(env().RuntimeNotReadyError, msg::kFixtureNotLoaded);
    return py_int(fixture.attr("audio_samples_per_tick"));
  }, nb::sig("def samples_per_tick(self) -> int"), "Audio samples of each frame; RuntimeNotReadyError without a model.");
}

}  // namespace halvane::avatar::py
