// The producer task of a live session and the small members it shares with
// the tick emission: it takes the controls that push_audio, flush and stop
// put on the input queue, keeps the open utterance's audio as one float32
// buffer at 16 kHz, lets _emit_ready_ticks turn ready ticks into frames,
// closes each utterance with a padded tail and one end-of-speech signal,
// sends idle frames while no input comes (streaming sessions without a
// playout clock), starts over on a fresh or reset runtime after an
// interrupt, forwards its own failure to the consumer and always ends the
// output with _STREAM_END.
//
// Threading: everything runs on the event loop's thread with the GIL held,
// except push_audio, pull_frame, end_utterance and tick_compose_to_size,
// which go through _engine to the session's single "halvane-engine" worker
// thread, and the sample loops, which release the GIL.
#include <exception>
#include <optional>
#include <string>

#include "avatar/ticks.h"
#include "avatar/utterance.h"
#include "bindings/avatar/producer.h"

namespace halvane::avatar::py {

namespace {

using aio::Co;

// --- stream modes, runtime, output, engine thread ---

nb::object engine_id(nb::handle self) { return Session(self).engine_id(); }

bool is_z2_stream(nb::handle self) {
  nb::object z2 = nb::module_::import_("halvane.unified_header").attr("ENGINE_ZEPHAN2");
  return engine_id(self).equal(z2) && Session(self).output_size().is_none();
}

bool is_v2_stream(nb::handle self) {
  nb::object is_v2 = nb::module_::import_("halvane.unified_header").attr("is_v2_engine");
  return truthy(is_v2(engine_id(self)));
}

nb::object fresh_runtime(nb::handle self, nb::handle fx) {
  if (truthy(self.attr("_is_v2_stream")())) {
    nb::object rt = Session(self).runtime();
    try {
      rt.attr("reset_stream")();
    } catch (nb::python_error& err) {
      if (!ordinary(err)) throw;
      warn("halvane: could not reset the engine between utterances (%s: %s)", py::type_name(err.value()), err.value());
    }
    return rt;
  }
  return env().core.attr("Runtime")(fx);
}

// On a zephan-2 stream a picture waits while the playout clock holds as many
// pictures as it may (`_playout_hold`, published with the event
// `_playout_room`), so an utterance rendered faster than real time does not
// pile up in memory. Markers and terminal items never wait, and `_playout` is
// read after the wait: a frame handed over after stop() goes to `_out_queue`.
Co<nb::object> emit_out(nb::handle self, nb::object item) {
  if (PyObject_IsInstance(item.ptr(), env().VideoFrame.ptr()) == 1 && !get(item, "bgr_image").is_none()) {
    for (bool waited = false;; waited = true) {
      // A picture that waited through an interrupt belongs to the abandoned
      // utterance: interrupt() emptied the playout queue before it got in.
      if (waited && interrupted(self)) co_return nb::none();
      nb::object room = Session(self).playout_room();
      if (room.is_none()) break;
      if (!truthy(room.attr("is_set")())) {
        co_await aio::py::await_(room.attr("wait")());
        continue;
      }
      nb::object pq = Session(self).playout();
      const std::optional<long> hold = Session(self).playout_hold();
      if (pq.is_none() || !hold || nb::cast<long>(pq.attr("qsize")()) < *hold) break;
      room.attr("clear")();  // the clock may be stuck on a full output queue: wait for its next pass
    }
  }
  nb::object playout = Session(self).playout();
  nb::object q = playout.is_none() ? Session(self).out_queue() : playout;
  co_await put_current(self, q, item);
  co_return nb::none();
}

Co<nb::object> engine(nb::handle self, nb::object fn, nb::args args) {
  Env& e = env();
  nb::object ex = Session(self).engine_executor();
  if (ex.is_none()) {
    ex = e.ThreadPoolExecutor(nb::arg("max_workers") = 1, nb::arg("thread_name_prefix") = "halvane-engine");
    Session(self).set_engine_executor(ex);
  }
  nb::list call_args;
  call_args.append(ex);
  call_args.append(fn);
  for (nb::handle a : args) call_args.append(a);
  nb::object run = e.get_running_loop().attr("run_in_executor");
  nb::object fut = nb::steal(PyObject_Call(run.ptr(), nb::tuple(call_args).ptr(), nullptr));
  if (!fut.is_valid()) throw nb::python_error();
  co_return co_await aio::py::await_(fut);
}

// --- the producer task ---

// The producer's own state for one utterance and the session.
struct Utterance {
  nb::object rt;
  nb::object pcm_buf;       // float32, 16 kHz
  int64_t ticks_emitted = 0;
  nb::object message_id;    // the open utterance's id (may be None)
  bool open = false;        // an utterance is open, whatever its id
};

nb::object empty_f32() { return new_array(0, "float32"); }

// `buf` followed by `add` (int16) scaled to float32, as a new array.
nb::object append_pcm(nb::handle buf, nb::handle add_i16) {
  const int64_t n_old = size_of(buf), n_add = size_of(add_i16);
  nb::object out = new_array(static_cast<size_t>(n_old + n_add), "float32");
  const float* old = data_of<const float>(buf);
  const int16_t* add = data_of<const int16_t>(add_i16);
  float* dst = data_of<float>(out);
  const float scale = static_cast<float>(env().int16_max);
  nb::gil_scoped_release unlocked;
  append_i16_as_f32(old, static_cast<size_t>(n_old), add, static_cast<size_t>(n_add), scale, dst);
  return out;
}

// `buf` followed by zeros up to `n` samples, as a new array.
nb::object zero_extend(nb::handle buf, int64_t n) {
  const int64_t n_old = size_of(buf);
  nb::object out = new_array(static_cast<size_t>(n), "float32");
  const float* old = data_of<const float>(buf);
  float* dst = data_of<float>(out);
  nb::gil_scoped_release unlocked;
  extend_with_zeros(old, static_cast<size_t>(n_old), static_cast<size_t>(n), dst);
  return out;
}

// A piece of audio as int16 samples at 16 kHz: as it comes at that rate,
// else through float32, resampled linearly, and back to int16.
nb::object audio_at_16k(nb::handle chunk) {
  Env& e = env();
  nb::object pcm_i16 = contiguous(chunk.attr("data"), "int16");
  nb::object rate = chunk.attr("sample_rate");
  nb::object target = const_o("_SAMPLE_RATE_HZ");
  if (rate.not_equal(target)) {
    nb::object f32 = e.module.attr("_i16_to_f32")(pcm_i16);
    nb::object tmp = contiguous(e.module.attr("_resample_linear")(f32, rate, target), "float32");
    const int64_t n = size_of(tmp);
    nb::object out = new_array(static_cast<size_t>(n), "int16");
    const float* src = data_of<const float>(tmp);
    int16_t* dst = data_of<int16_t>(out);
    const float scale = static_cast<float>(e.int16_max);
    {
      nb::gil_scoped_release unlocked;
      scale_to_i16(src, static_cast<size_t>(n), scale, dst);
    }
    pcm_i16 = out;
  }
  return pcm_i16;
}

// The session after an interrupt: a fresh (or reset) runtime, nothing open.
void restart_after_interrupt(nb::handle self, nb::handle fx, Utterance& u) {
  Session(self).interrupt_event().attr("clear")();
  u.rt = self.attr("_fresh_runtime")(fx);
  Session(self).set_runtime(u.rt);
  u.pcm_buf = empty_f32();
  u.ticks_emitted = 0;
  u.message_id = nb::none();
  u.open = false;
  Session(self).set_stream_pushed(0);
}

aio::py::Await emit_ticks(nb::handle self, const Utterance& u, int64_t spt, nb::handle out_size, bool eos_padding,
                          nb::handle tail_total) {
  return call(self, "_emit_ready_ticks", nb::arg("rt") = u.rt, nb::arg("pcm_buf") = u.pcm_buf,
              nb::arg("spt") = spt, nb::arg("out_size") = out_size, nb::arg("ticks_emitted") = u.ticks_emitted,
              nb::arg("message_id") = u.message_id, nb::arg("eos_padding") = eos_padding,
              nb::arg("tail_total") = tail_total);
}

// The loop of the producer task; returns when the session stops, raises
// what failed.
Co<nb::object> produce_loop(nb::handle self, nb::object fx, int64_t spt, double fps, nb::object out_size,
                            Utterance& u) {
  Env& e = env();
  const bool streaming = out_size.is_none();

  while (true) {
    if (stopped(self)) break;
    if (interrupted(self)) restart_after_interrupt(self, fx, u);

    // Wait for input: one frame period when streaming, so idle frames
    // leave at the frame rate.
    nb::object control;
    bool timed_out = false;
    try {
      nb::object get_item = Session(self).in_queue().attr("get")();
      control = co_await aio::py::await_(
          e.wait_for(get_item, nb::arg("timeout") = streaming ? 1.0 / fps : 1.0));
      raise_lost_cancel();
    } catch (nb::python_error& err) {
      if (!err.matches(e.TimeoutError)) throw;
      timed_out = true;
    }
    if (timed_out) {
      if (stopped(self)) break;
      if (streaming && Session(self).playout().is_none() && size_of(u.pcm_buf) / spt <= u.ticks_emitted) {
        nb::object idle_bgr;
        try {
          idle_bgr = u.rt.attr("get_source_frame")(-1);
        } catch (nb::python_error& err) {
          if (!ordinary(err)) throw;
          idle_bgr = nb::none();
        }
        if (!idle_bgr.is_none()) {
          nb::object ac = e.AudioChunk(nb::arg("data") = e.np.attr("zeros")(spt, "int16"),
                                       nb::arg("sample_rate") = const_o("_SAMPLE_RATE_HZ"),
                                       nb::arg("last_chunk") = false);
          nb::object frame = e.VideoFrame(nb::arg("bgr_image") = idle_bgr, nb::arg("audio_chunk") = ac);
          co_await aio::py::await_(Session(self).out_queue().attr("put")(frame));
        }
      }
      continue;
    }
    if (!nb::isinstance(control, e.VideoControl)) continue;

    // An interrupt raised while we waited: what arrives now belongs to the
    // next utterance, so the old one is dropped before it is handled.
    if (interrupted(self)) restart_after_interrupt(self, fx, u);

    nb::object audio = control.attr("audio");
    if (!audio.is_none() && !u.open) {
      // Utterance start.
      switch (open_action(!Session(self).runtime().is(u.rt), size_of(u.pcm_buf), u.ticks_emitted, streaming)) {
        case OpenAction::fresh:
          u.rt = self.attr("_fresh_runtime")(fx);
          Session(self).set_runtime(u.rt);
          u.pcm_buf = empty_f32();
          u.ticks_emitted = 0;
          break;
        case OpenAction::reset_stream:
          u.rt.attr("reset_stream")();
          break;
        case OpenAction::keep:
          break;
      }
      Session(self).set_stream_pushed(0);
      Session(self).set_z2_r0(std::nullopt);
      u.message_id = control.attr("message_id");
      u.open = true;
    }
    if (!audio.is_none()) u.pcm_buf = append_pcm(u.pcm_buf, audio_at_16k(audio));

    const bool end_of_speech = truthy(control.attr("end_of_speech"));
    const bool last_chunk = !end_of_speech && !audio.is_none() && truthy(audio.attr("last_chunk"));
    const bool ends_utterance = closes_utterance(end_of_speech, !audio.is_none(), last_chunk);
    if (size_of(u.pcm_buf) == 0 && !ends_utterance) continue;

    u.ticks_emitted += nb::cast<int64_t>(co_await emit_ticks(self, u, spt, out_size, false, nb::none()));
    if (!ends_utterance) continue;

    // End of the utterance: the tail.
    const int64_t n_buf = size_of(u.pcm_buf);
    const TailPads pads{const_i("_STREAM_FLUSH_PAD_TICKS"), const_i("_LOOKBACK_TICKS"), const_i("_V2_FLUSH_PAD_TICKS")};
    const TailPlan tail = plan_tail(
        n_buf, spt, u.ticks_emitted, streaming, [&] { return truthy(self.attr("_is_v2_stream")()); }, pads);
    TailOutcome outcome;
    outcome.had_tail = tail.remaining > 0;
    outcome.v2 = tail.v2;
    outcome.streaming = streaming;
    if (outcome.had_tail) {
      if (n_buf < tail.target_len) u.pcm_buf = zero_extend(u.pcm_buf, tail.target_len);
      nb::object tail_total = nb::int_(tail.tail_total);
      if (tail.v2) {
        u.ticks_emitted += nb::cast<int64_t>(co_await call(
            self, "_drain_v2_tail", nb::arg("rt") = u.rt, nb::arg("pcm_buf") = u.pcm_buf, nb::arg("spt") = spt,
            nb::arg("ticks_emitted") = u.ticks_emitted, nb::arg("tail_total") = tail_total,
            nb::arg("message_id") = u.message_id, nb::arg("out_size") = out_size));
      } else {
        outcome.tail_frames = nb::cast<int64_t>(co_await emit_ticks(self, u, spt, out_size, true, tail_total));
        u.ticks_emitted += outcome.tail_frames;
      }
    }
    // The last frame of a padded tail carries the end of speech; otherwise
    // the marker closes the utterance (avatar/utterance.h).
    outcome.stop_or_interrupt = stop_or_interrupt(self);
    outcome.interrupted = interrupted(self);
    if (end_marker(outcome)) {
      nb::object eos = e.VideoFrame(nb::arg("bgr_image") = nb::none(), nb::arg("audio_chunk") = nb::none(),
                                    nb::arg("frame_index") = u.ticks_emitted, nb::arg("source_message_id") = u.message_id,
                                    nb::arg("end_of_speech") = true);
      co_await call(self, "_emit_out", eos);
    }

    // Ready for the next utterance.
    if (streaming) u.rt.attr("reset_stream")();
    u.pcm_buf = empty_f32();
    u.ticks_emitted = 0;
    u.message_id = nb::none();
    u.open = false;
    Session(self).set_stream_pushed(0);
  }
  co_return nb::none();
}

// A C++ error that is not a Python one, as the Python exception to forward.
nb::object as_python_error(const std::exception& ex) {
  return nb::handle(PyExc_RuntimeError)(nb::str(ex.what()));
}

Co<nb::object> produce_frames(nb::handle self) {
  nb::object fx = Session(self).fixture();
  if (fx.is_none() || Session(self).runtime().is_none()) {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
  }
  const int64_t spt = nb::cast<int64_t>(nb::int_(fx.attr("audio_samples_per_tick")));
  const double fps = nb::cast<double>(nb::float_(get(self, "_engine_fps")));
  nb::object out_size = Session(self).output_size();
  Utterance u;
  u.rt = Session(self).runtime();
  u.pcm_buf = empty_f32();
  u.message_id = nb::none();

  // Every way out of the loop ends the output with _STREAM_END: a failure
  // goes out first as the exception object itself; a cancellation goes on
  // after the end was put.
  nb::object failure;
  std::exception_ptr passing;
  try {
    co_await produce_loop(self, fx, spt, fps, out_size, u);
  } catch (nb::python_error& err) {
    if (ordinary(err)) failure = nb::borrow(err.value());
    else passing = std::current_exception();
  } catch (const std::exception& ex) {
    failure = as_python_error(ex);
  }
  if (failure.is_valid()) {
    try {
      co_await call(self, "_emit_out", failure);
    } catch (...) {
      passing = std::current_exception();
    }
  }
  if (passing) {
    // Cancelled: the end goes out without waiting. Awaiting room in a full
    // output queue nobody reads (a loop shutting down cancels every task)
    // would hold the cancellation for ever; with no room, the consumer ends
    // when it finds the producer gone and the queue empty.
    try {
      nb::object playout = Session(self).playout();
      (playout.is_none() ? Session(self).out_queue() : playout).attr("put_nowait")(env().stream_end);
    } catch (nb::python_error& err) {
      if (!ordinary(err)) throw;
    }
    std::rethrow_exception(passing);
  }
  try {
    co_await call(self, "_emit_out", env().stream_end);
  } catch (nb::python_error& err) {
    if (!ordinary(err)) throw;
  }
  co_return nb::none();
}

}  // namespace

void add_producer(Members& ns) {
  ns["_produce_frames"] = method(
      [](nb::object self) { return aio::py::coroutine(produce_frames(self), "_produce_frames", self); });
  ns["_fresh_runtime"] = method([](nb::object self, nb::object fx) { return fresh_runtime(self, fx); });
  ns["_is_z2_stream"] = method([](nb::object self) { return is_z2_stream(self); });
  ns["_emit_out"] = method([](nb::object self, nb::object item) {
    return aio::py::coroutine(emit_out(self, std::move(item)), "_emit_out", self);
  });
  ns["_engine"] = method([](nb::object self, nb::object fn, nb::args args) {
    return aio::py::coroutine(engine(self, std::move(fn), std::move(args)), "_engine", self);
  });
  ns["_is_v2_stream"] = method([](nb::object self) { return is_v2_stream(self); });
  add_v2_tail(ns);
  add_tick_emission(ns);
}

}  // namespace halvane::avatar::py
