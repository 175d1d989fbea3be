// The producer task of a live session and the small members it shares with
// the tick emission: it takes the controls that push_audio, flush and stop
// put on the input queue, keeps the open utterance's audio as one float32
// buffer at 16 kHz, lets _emit_ready_ticks turn ready ticks into frames,
// closes each utterance with a padded tail and one end-of-speech signal,
// sends idle frames while no input comes (streaming sessions without a
// playout clock), starts over on a fresh or reset runtime after an
// interrupt, forwards its own failure to the consumer and always ends the
// output with _STREAM_END. What it does at each step is decided by
// avatar::Producer and avatar::Renewal (avatar/producer.h), how its run ends
// by avatar::TaskEnd (avatar/task_end.h); this file awaits and performs.
//
// Threading: everything runs on the event loop's thread with the GIL held,
// except push_audio, pull_frame, end_utterance and tick_compose_to_size,
// which go through _engine to the session's single "halvane-engine" worker
// thread, and the sample loops, which release the GIL.
#include <optional>
#include <utility>

#include "avatar/producer.h"
#include "avatar/ticks.h"
#include "bindings/avatar/messages.h"
#include "bindings/avatar/producer.h"
#include "bindings/avatar/task_run.h"

namespace halvane::avatar::py {

namespace {

using aio::Co;

// --- stream modes, runtime, output, engine thread ---

nb::object engine_id(nb::handle self) { return Session(self).engine_id(); }

bool is_z2_stream(nb::handle self) {
  return engine_id(self).equal(env().ENGINE_ZEPHAN2) && Session(self).output_size().is_none();
}

bool is_v2_stream(nb::handle self) {
  return truthy(env().is_v2_engine(engine_id(self)));
}

nb::object fresh_runtime(nb::handle self, nb::handle fx) {
  if (truthy(self.attr("_is_v2_stream")())) {
    nb::object rt = Session(self).runtime();
    handling([&] { rt.attr("reset_stream")(); },
             [](const nb::python_error& err) { warn_failed(msg::kResetFailed, err); });
    return rt;
  }
  return env().core.attr("Runtime")(fx);
}

// The queue the next output item goes to: the playout clock's while it
// runs, else the output queue; read at each hand-over, so a frame handed over
// after stop() goes to `_out_queue`.
nb::object output_queue(nb::handle self) {
  nb::object playout = Session(self).playout();
  return playout.is_none() ? Session(self).out_queue() : playout;
}

// On a zephan-2 stream a picture waits for room in the playout clock
// (avatar/producer.h), so an utterance rendered faster than real time does
// not pile up in memory. Markers and terminal items never wait.
Co<nb::object> emit_out(nb::handle self, nb::object item) {
  const bool picture = is_frame(item) && !bgr_of(item).is_none();
  for (bool waited = false; picture; waited = true) {
    nb::object room = Session(self).playout_room();
    const HandOver step = hand_over(
        waited, [&] { return interrupted(self); }, !room.is_none(), [&] { return event_set(room); },
        [&] {
          nb::object pq = Session(self).playout();
          return picture_fits(!pq.is_none(), Session(self).playout_hold(),
                              [&] { return nb::cast<long>(pq.attr("qsize")()); });
        });
    if (step == HandOver::drop) co_return nb::none();
    if (step == HandOver::put) break;
    if (step == HandOver::wait_room) co_await aio::py::await_(room.attr("wait")());
    else room.attr("clear")();
  }
  co_await put_current(self, output_queue(self), item);
  co_return nb::none();
}

Co<nb::object> engine(nb::handle self, nb::object fn, nb::args args) {
  Env& e = env();
  nb::object ex = Session(self).engine_executor();
  if (ex.is_none()) {
    ex = e.ThreadPoolExecutor(nb::arg("max_workers") = 1, nb::arg("thread_name_prefix") = "halvane-engine");
    Session(self).set_engine_executor(ex);
  }
  co_return co_await aio::py::await_(e.get_running_loop().attr("run_in_executor")(ex, fn, *args));
}

// --- the producer task ---

// The payloads of the producer's utterance; its state and decisions are in
// avatar::Producer.
struct Utterance {
  nb::object rt;
  nb::object pcm_buf;     // float32, 16 kHz
  nb::object message_id;  // the open utterance's id (may be None)
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

// Ready for the next utterance.
void forget_utterance(nb::handle self, Utterance& u) {
  u.pcm_buf = empty_f32();
  u.message_id = nb::none();
  Session(self).set_stream_pushed(0);
}

// The steps of a renewal (avatar::perform runs them in its order); `control`
// is the control taken, for an open.
struct RenewSteps {
  nb::handle self, fx, control;
  Utterance& u;

  void clear_interrupt() { Session(self).interrupt_event().attr("clear")(); }
  void renew_runtime() {
    u.rt = self.attr("_fresh_runtime")(fx);
    Session(self).set_runtime(u.rt);
    forget_utterance(self, u);
  }
  void reset_stream() { u.rt.attr("reset_stream")(); }
  void forget() { forget_utterance(self, u); }
  void open() {
    Session(self).set_stream_pushed(0);
    Session(self).set_z2_r0(std::nullopt);
    u.message_id = control.attr("message_id");
  }
};

void renew(nb::handle self, nb::handle fx, Utterance& u, const Renewal& r, nb::handle control) {
  RenewSteps steps{self, fx, control, u};
  perform(r, steps);
}

// The emission of the utterance's ready ticks (or, with `eos_padding`, of its
// padded tail up to `tail_total`).
EmitArgs utterance_ticks(const Producer& p, const Utterance& u, int64_t spt, nb::handle out_size, bool eos_padding,
                         nb::handle tail_total) {
  EmitArgs a;
  a.rt = u.rt;
  a.pcm_buf = u.pcm_buf;
  a.spt = spt;
  a.out_size = nb::borrow(out_size);
  a.ticks_emitted = p.ticks_emitted();
  a.message_id = u.message_id;
  a.eos_padding = eos_padding;
  a.tail_total = nb::borrow(tail_total);
  return a;
}

// An idle frame: the runtime's resting picture with a tick of silence, when
// it has one.
Co<nb::object> put_idle_frame(nb::handle self, const Utterance& u, int64_t spt) {
  Env& e = env();
  nb::object idle_bgr = or_else([&] { return u.rt.attr("get_source_frame")(-1); }, nb::none());
  if (idle_bgr.is_none()) co_return nb::none();
  nb::object ac = e.AudioChunk(nb::arg("data") = e.np.attr("zeros")(spt, "int16"),
                               nb::arg("sample_rate") = const_o("_SAMPLE_RATE_HZ"), nb::arg("last_chunk") = false);
  nb::object frame = e.VideoFrame(nb::arg("bgr_image") = idle_bgr, nb::arg("audio_chunk") = ac);
  co_await aio::py::await_(Session(self).out_queue().attr("put")(frame));
  co_return nb::none();
}

// The loop of the producer task; returns when the session stops, raises
// what failed. The decisions are p's; this performs them in order.
Co<nb::object> produce_loop(nb::handle self, nb::object fx, int64_t spt, double fps, nb::object out_size,
                            Producer& p, Utterance& u) {
  Env& e = env();

  while (true) {
    const Producer::Pass pass = p.begin_pass(stopped(self), interrupted(self));
    if (pass == Producer::Pass::stop) break;
    renew(self, fx, u, renewal(pass), nb::none());

    nb::object control = co_await get_within(Session(self).in_queue(), p.wait_s(fps));
    if (!control.is_valid()) {  // timed out (a stopped session ends at the next pass)
      if (p.idle_frame(stopped(self), !Session(self).playout().is_none())) co_await put_idle_frame(self, u, spt);
      continue;
    }
    if (!nb::isinstance(control, e.VideoControl)) continue;

    nb::object audio = control.attr("audio");
    const Producer::Take take = p.take(interrupted(self), !audio.is_none(), !Session(self).runtime().is(u.rt));
    renew(self, fx, u, renewal(take), control);
    bool last_chunk = false;
    if (!audio.is_none()) {
      nb::object pcm16 = audio_at_16k(audio);
      p.appended(size_of(pcm16));
      u.pcm_buf = append_pcm(u.pcm_buf, pcm16);
      last_chunk = truthy(audio.attr("last_chunk"));
    }
    const bool end_of_speech = truthy(control.attr("end_of_speech"));
    const bool stop_wake = control.is(Session(self).stop_control());
    const Producer::Next next = p.after_audio(end_of_speech, !audio.is_none(), last_chunk, stop_wake);
    if (next == Producer::Next::wait) continue;
    p.emitted(nb::cast<int64_t>(co_await emit_ticks(self, utterance_ticks(p, u, spt, out_size, false, nb::none()))));
    if (next == Producer::Next::emit) continue;

    // End of the utterance: the tail, then the marker unless the tail's last
    // frame carried the end of speech.
    const TailPads pads{const_i("_STREAM_FLUSH_PAD_TICKS"), const_i("_LOOKBACK_TICKS"), const_i("_V2_FLUSH_PAD_TICKS")};
    const TailPlan tail = p.close([&] { return truthy(self.attr("_is_v2_stream")()); }, pads);
    if (tail.extend) u.pcm_buf = zero_extend(u.pcm_buf, tail.target_len);
    nb::object tail_total = nb::int_(tail.tail_total);
    if (tail.v2) {
      p.tail_emitted(nb::cast<int64_t>(co_await call(
          self, "_drain_v2_tail", nb::arg("rt") = u.rt, nb::arg("pcm_buf") = u.pcm_buf, nb::arg("spt") = spt,
          nb::arg("ticks_emitted") = p.ticks_emitted(), nb::arg("tail_total") = tail_total,
          nb::arg("message_id") = u.message_id, nb::arg("out_size") = out_size)));
    } else if (tail.remaining > 0) {
      p.tail_emitted(
          nb::cast<int64_t>(co_await emit_ticks(self, utterance_ticks(p, u, spt, out_size, true, tail_total))));
    }
    if (p.end_marker(stop_or_interrupt(self), interrupted(self))) {
      nb::object eos = e.VideoFrame(nb::arg("bgr_image") = nb::none(), nb::arg("audio_chunk") = nb::none(),
                                    nb::arg("frame_index") = p.ticks_emitted(),
                                    nb::arg("source_message_id") = u.message_id, nb::arg("end_of_speech") = true);
      co_await call(self, "_emit_out", eos);
    }
    renew(self, fx, u, p.finish(), nb::none());
  }
  co_return nb::none();
}

Co<nb::object> produce_frames(nb::handle self) {
  nb::object fx = Session(self).fixture();
  if (fx.is_none() || Session(self).runtime().is_none()) {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
  }
  const int64_t spt = int_of(fx.attr("audio_samples_per_tick"));
  const double fps = float_of(get(self, "_engine_fps"));
  nb::object out_size = Session(self).output_size();
  Producer p(spt, out_size.is_none());
  Utterance u{Session(self).runtime(), empty_f32(), nb::none()};

  // Every way out of the loop ends the output with _STREAM_END
  // (avatar/task_end.h).
  RunEnded ended;
  try {
    co_await produce_loop(self, fx, spt, fps, out_size, p, u);
  } catch (...) {
    ended = run_ended_now();
  }
  co_await end_run(
      self, SessionTask::producer, std::move(ended), [self](nb::object item) { return call(self, "_emit_out", item); },
      [self](nb::object item) { output_queue(self).attr("put_nowait")(item); });
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
