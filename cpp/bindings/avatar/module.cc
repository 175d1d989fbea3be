// halvane._avatar: the live interface. AsyncAvatar takes audio pushed in
// pieces on the caller's asyncio event loop and hands out frames from run().
//
// The class is a Python class whose base is the bundle loader's mixin and
// whose members are C++ functions; all session state lives in instance
// attributes, which the coroutines of the session share on the loop's thread.
#include <nanobind/nanobind.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "bindings/aio/bridge.h"
#include "bindings/avatar/state.h"
#include "bindings/common/errors.h"
#include "bindings/common/signatures.h"

namespace halvane::avatar::py {

Env& env() {
  static Env* e = new Env();  // never destroyed: it holds Python objects past finalisation
  return *e;
}

double const_f(const char* name) { return nb::cast<double>(env().module.attr(name)); }
long const_i(const char* name) { return nb::cast<long>(env().module.attr(name)); }

namespace {

// AsyncAvatar's members in the order the class defines them.
constexpr const char* kMembers[] = {
    "__init__", "create", "set_model", "push_audio", "push", "_note_arrival", "_arrival_ended",
    "_arrival_dropped", "flush", "run", "_run_iter", "sync_to", "stop", "_drain_out_queue_until", "shutdown",
    "set_identity", "_SettingsProxy", "settings", "_engine_fps", "start", "interrupt", "_drain_queue",
    "video_graph", "transaction_id", "_regenerate_transaction_id", "get_first_frame", "_wait_source_frame",
    "_end_stream_before_close", "_close_runtime", "cleanup", "frame_width", "frame_height", "sample_rate", "fps",
    "samples_per_tick", "_ensure_running", "_produce_frames", "_fresh_runtime", "_is_z2_stream", "_emit_out",
    "_emit_clock", "_drop_queued_resting", "_engine", "_is_v2_stream", "_drain_v2_tail", "_emit_ready_ticks"};

void bind_env(nb::module_& m) {
  Env& e = env();
  e.module = m;
  e.asyncio = nb::module_::import_("asyncio");
  for (auto [field, name] : {std::pair{&e.Queue, "Queue"},
                             {&e.Event, "Event"},
                             {&e.wait_for, "wait_for"},
                             {&e.sleep, "sleep"},
                             {&e.get_running_loop, "get_running_loop"},
                             {&e.CancelledError, "CancelledError"},
                             {&e.TimeoutError, "TimeoutError"},
                             {&e.wait, "wait"},
                             {&e.FIRST_COMPLETED, "FIRST_COMPLETED"}})
    *field = e.asyncio.attr(name);
  e.monotonic = nb::module_::import_("time").attr("monotonic");
  e.ThreadPoolExecutor = nb::module_::import_("concurrent.futures").attr("ThreadPoolExecutor");
  e.np = nb::module_::import_("numpy");
  e.log = nb::module_::import_("logging").attr("getLogger")("halvane");

  // Package modules the live interface cannot do without: importing it fails
  // when one of them is missing.
  e.core = nb::module_::import_("halvane._core");
  e.z2_host = nb::module_::import_("halvane._zephan2._tessel_host");
  nb::object header = nb::module_::import_("halvane.unified_header");
  e.ENGINE_ZEPHAN2 = header.attr("ENGINE_ZEPHAN2");
  e.is_v2_engine = header.attr("is_v2_engine");
  e.picture_fit = nb::module_::import_("halvane._picture").attr("fit");
  nb::object models = nb::module_::import_("halvane._models");
  e.VideoControl = models.attr("VideoControl");
  e.AudioChunk = models.attr("AudioChunk");
  e.VideoFrame = models.attr("VideoFrame");
  e.int16_max = nb::cast<long>(models.attr("INT16_MAX"));
  e.dc_replace = nb::module_::import_("dataclasses").attr("replace");
  nb::object errors = nb::module_::import_("halvane._exceptions");
  e.ModelNotFoundError = errors.attr("ModelNotFoundError");
  e.RuntimeNotReadyError = errors.attr("RuntimeNotReadyError");
}

void bind_constants(nb::module_& m) {
  m.attr("_log") = env().log;
  m.attr("_SAMPLE_RATE_HZ") = 16000;
  m.attr("_FPS") = 25;
  m.attr("_LOOKBACK_TICKS") = 3;
  m.attr("_STREAM_FLUSH_PAD_TICKS") = 8;
  m.attr("_DEFAULT_OUTPUT_SIZE") = nb::make_tuple(1280, 720);
  m.attr("_V2_DRAIN_STALL_S") = 2.0;
  m.attr("_V2_FLUSH_PAD_TICKS") = 16;
  m.attr("_FIRST_FRAME_WAIT_S") = 1.0;
  m.attr("_FIRST_FRAME_POLL_S") = 0.01;
  // The end of the stream: compared by identity only, never equal to a record.
  env().stream_end = nb::module_::import_("builtins").attr("object")();
  m.attr("_STREAM_END") = env().stream_end;
  m.attr("_SYNC_LEAD_S") = 0.025;
  // The zephan-2 chunk geometry is the host module's: frames of the first
  // chunk and of every later one, and the audio of one later chunk.
  nb::handle host = env().z2_host;
  m.attr("_Z2_PREROLL_FRAMES") = 36;
  m.attr("_Z2_CHUNK0_FRAMES") = host.attr("CHUNK0_PX");
  m.attr("_Z2_CHUNK_FRAMES") = host.attr("STEADY_PX");
  m.attr("_Z2_START_MARGIN_S") = 0.15;
  m.attr("_Z2_R1_FACTOR") = 1.35;
  m.attr("_Z2_FEED_SLICE_SAMPLES") = host.attr("SPC");
  m.attr("_Z2_CATCHUP_S") = 0.5;
  // Seconds of pictures the playout clock may hold before the producer waits
  // to hand it more (always more than the preroll).
  m.attr("_Z2_PLAYOUT_HOLD_S") = 2.5;
}

void bind_class(nb::module_& m, Members& added) {
  nb::object base = nb::module_::import_("halvane._loader").attr("NativeFixtureLoaderMixin");
  nb::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = "AsyncAvatar";
  ns["__doc__"] =
      "One live session of one avatar model: audio pushed in pieces becomes frames, one tick each, "
      "yielded by run().\n\nMade by ``await AsyncAvatar.create(model_path=...)``; ended by ``await shutdown()``.";
  // Every member of the order was added (KeyError names one that was not),
  // and every member added is in the order.
  for (const char* name : kMembers) ns[name] = added.attr("pop")(name);
  if (added.size()) {
    throw std::logic_error("AsyncAvatar members outside the definition order: " +
                           nb::cast<std::string>(nb::str(nb::list(added))));
  }
  nb::object cls = nb::module_::import_("builtins").attr("type")("AsyncAvatar", nb::make_tuple(base), ns);
  cls.attr("_SettingsProxy").attr("__qualname__") = "AsyncAvatar._SettingsProxy";
  halvane::py::sign(cls, {"__init__", "create", "set_model", "push_audio", "push", "flush", "run", "sync_to", "stop",
                          "shutdown", "set_identity", "start", "interrupt", "get_first_frame", "cleanup"});
  m.attr("AsyncAvatar") = cls;
}

}  // namespace

}  // namespace halvane::avatar::py

NB_MODULE(_avatar, m) {
  using namespace halvane::avatar::py;
  // A task left pending on a loop that was never closed never ends, so its
  // coroutine object (and the session and the class its frame holds) is
  // still alive when the interpreter is gone; nanobind would report those as
  // leaks of the bindings at exit. Only this module's domain is silenced.
  nb::set_leak_warnings(false);
  halvane::py::register_errors();
  halvane::aio::py::bind_bridge(m);

  bind_env(m);
  bind_constants(m);
  Members ns;
  add_state(ns);
  add_creation(ns);
  add_settings(ns);
  add_input(m, ns);  // also _i16_to_f32 and _resample_linear
  add_first_frame(ns);
  add_output(m, ns);  // also _queued_reader
  add_teardown(ns);
  add_interrupt(ns);
  add_producer(ns);
  add_clock(ns);
  bind_class(m, ns);
  nb::list all;
  all.append("AsyncAvatar");
  m.attr("__all__") = all;
}
