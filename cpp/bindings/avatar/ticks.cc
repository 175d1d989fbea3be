// Tick emission: turns the audio collected in an utterance's buffer into
// frames, one per tick, each carrying its own spt int16 samples of that
// audio. Streaming sessions push the new audio to the runtime and pull each
// picture on the engine worker thread (zephan-2 streams in slices, timing
// the pushes that make ticks ready, for the playout clock); composed
// sessions compose each tick at the output size. A streaming call given a
// `fit_size` (the v2 tail of a composed session) fits each pulled picture
// inside that size, as composing does, so every picture of a composed
// session has the session's output size. The decisions (slices, pushes,
// counts, each tick's samples and flags, the picture source) are in
// avatar/ticks.h; this file awaits and performs them.
//
// Threading: a coroutine on the event loop; push_audio, pull_frame and
// tick_compose_to_size (which waits while an engine renders), and the fit of
// pulled pictures, run on the engine worker thread through _engine;
// everything else here on the loop thread. Each tick's clip-and-convert runs
// with the GIL released. The stop and interrupt events are read before every
// tick and between slices; once one is set, nothing more of the utterance's
// audio is pushed.
#include <optional>
#include <string>
#include <utility>

#include "avatar/ticks.h"
#include "bindings/avatar/producer.h"

namespace halvane::avatar::py {

namespace {

using aio::Co;

// rt.pull_frame(-1)'s picture fitted inside width x height, as a callable
// for the engine worker thread; it answers as pull_frame does, with a pair.
// Made once, kept for the life of the process.
nb::handle pull_fitted() {
  static PyObject* fn = nb::cpp_function([](nb::object rt, nb::object width, nb::object height) {
                          nb::object bgr = second_of_pair(rt.attr("pull_frame")(-1));
                          return nb::make_tuple(nb::none(), env().picture_fit(bgr, width, height));
                        }).release().ptr();
  return fn;
}

// The engine worker's call that makes the picture of one tick.
aio::py::Await picture_of(nb::handle self, PictureSource src, const EmitArgs& a, int64_t tw, int64_t th) {
  if (src == PictureSource::compose)
    return call(self, "_engine", a.rt.attr("tick_compose_to_size"), a.pcm_buf, -1, tw, th);
  if (src == PictureSource::pull) return call(self, "_engine", a.rt.attr("pull_frame"), -1);
  return call(self, "_engine", pull_fitted(), a.rt, tw, th);
}

int64_t ticks_available(nb::handle rt) { return int_of(rt.attr("ticks_available")()); }

// Notes the timing of a push (avatar/ticks.h, PushTimer).
void note_push_time(nb::handle self, const PushTime& t) {
  const Session s(self);
  if (t.kind == PushTime::first) s.set_z2_r0(t.value);
  if (t.kind == PushTime::steady) s.set_z2_steady_s(t.value);
}

Co<nb::object> emit_ready_ticks(nb::handle self, EmitArgs a) {
  Env& e = env();
  const bool streaming = a.out_size.is_none();

  // Zephan-2 audio goes in slices (avatar/ticks.h).
  const bool sliced = streaming && truthy(self.attr("_is_z2_stream")());
  const int64_t slice = const_i("_Z2_FEED_SLICE_SAMPLES");
  for (int64_t early = 0;;) {
    const SliceStep step =
        next_slice(sliced, size_of(a.pcm_buf), Session(self).stream_pushed(), slice, early, stop_or_interrupt(self));
    if (step.kind == SliceStep::whole) break;
    if (step.kind == SliceStep::abandon) co_return nb::int_(early);
    EmitArgs part = a;
    part.ticks_emitted = a.ticks_emitted + early;
    if (step.kind == SliceStep::slice) {
      part.pcm_buf = slice_of(a.pcm_buf, nb::none(), nb::int_(step.end));
      part.eos_padding = false;
      part.tail_total = nb::none();
      part.mark_last = false;
    }
    early += nb::cast<int64_t>(co_await emit_ticks(self, part));
    if (step.kind == SliceStep::rest) co_return nb::int_(early);
  }

  nb::object pcm = contiguous(a.pcm_buf, "float32");
  const int64_t n_buf = size_of(pcm);
  const Push push = push_step(streaming, n_buf, Session(self).stream_pushed(), stop_or_interrupt(self));
  if (push == Push::abandon) co_return nb::int_(0);
  if (push == Push::push) {
    nb::object new_pcm = contiguous(slice_of(pcm, nb::int_(Session(self).stream_pushed()), nb::none()), "float32");
    auto ready = [&] { return ticks_available(a.rt); };
    const PushTimer timer(sliced, ready, now);  // zephan-2 pushes are timed
    co_await call(self, "_engine", a.rt.attr("push_audio"), new_pcm);
    const Session s(self);
    note_push_time(self, timer.after(ready, now, [&] { return std::pair(s.z2_r0().has_value(), s.z2_steady_s()); }));
    s.set_stream_pushed(n_buf);
  }

  EmitAsk ask;
  ask.streaming = streaming;
  ask.eos_padding = a.eos_padding;
  if (!a.tail_total.is_none()) ask.tail_total = int_of(a.tail_total);
  ask.ticks_emitted = a.ticks_emitted;
  ask.ready_total = ready_total(n_buf, a.spt, const_i("_LOOKBACK_TICKS"));
  if (!ask_complete(ask)) {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
  }
  const int64_t n = n_to_emit(ask, [&] { return ticks_available(a.rt); });
  if (n <= 0) co_return nb::int_(0);

  const PictureSource src = picture_source(streaming, !a.fit_size.is_none());
  int64_t tw = 0, th = 0;
  if (src != PictureSource::pull) {
    nb::handle size = streaming ? a.fit_size : a.out_size;
    tw = int_of(size[0]);
    th = int_of(size[1]);
  }
  const float* samples = data_of<const float>(pcm);
  const float scale = static_cast<float>(e.int16_max);
  const nb::object rate = const_o("_SAMPLE_RATE_HZ");
  int64_t emitted = 0;
  TickRun run(ask, a.mark_last, n, a.spt, n_buf);
  while (const std::optional<TickRun::Tick> tick = run.next([&] { return stop_or_interrupt(self); })) {
    nb::object slice_i16 = new_array(static_cast<size_t>(a.spt), "int16");
    {
      int16_t* out = data_of<int16_t>(slice_i16);
      const float* from = samples + tick->span.from;
      nb::gil_scoped_release unlocked;
      tick_to_i16(from, static_cast<size_t>(tick->span.avail), static_cast<size_t>(a.spt), scale, out);
    }

    // A picture rendered while an interrupt came belongs to the abandoned
    // utterance: it is dropped, not put out ahead of the next one.
    nb::object picture;
    try {
      picture = co_await picture_of(self, src, a, tw, th);
    } catch (nb::python_error& err) {
      if (!ran_out_of_audio(src, err.matches(PyExc_ValueError),
                            [&] { return nb::cast<std::string>(nb::str(err.value())); }))
        throw;
      break;
    }
    if (interrupted(self)) break;
    nb::object bgr = second_of_pair(picture);

    nb::object ac = e.AudioChunk(nb::arg("data") = slice_i16, nb::arg("sample_rate") = rate,
                                 nb::arg("last_chunk") = nb::bool_(tick->last));
    nb::object vf = e.VideoFrame(nb::arg("bgr_image") = bgr, nb::arg("audio_chunk") = ac,
                                 nb::arg("frame_index") = tick->idx, nb::arg("source_message_id") = a.message_id,
                                 nb::arg("end_of_speech") = nb::bool_(tick->last));
    co_await call(self, "_emit_out", vf);
    ++emitted;
  }
  co_return nb::int_(emitted);
}

}  // namespace

void add_tick_emission(Members& ns) {
  using namespace nb::literals;
  ns["_emit_ready_ticks"] = method(
      [](nb::object self, nb::object rt, nb::object pcm_buf, nb::object spt, nb::object out_size,
         nb::object ticks_emitted, nb::object message_id, nb::object eos_padding, nb::object tail_total,
         nb::object mark_last, nb::object fit_size) {
        EmitArgs a{std::move(rt),
                   std::move(pcm_buf),
                   int_of(spt),
                   std::move(out_size),
                   int_of(ticks_emitted),
                   std::move(message_id),
                   truthy(eos_padding),
                   std::move(tail_total),
                   truthy(mark_last),
                   std::move(fit_size)};
        return aio::py::coroutine(emit_ready_ticks(self, std::move(a)), "_emit_ready_ticks", self);
      },
      nb::kw_only(), "rt"_a.none(), "pcm_buf"_a.none(), "spt"_a.none(), "out_size"_a.none(),
      "ticks_emitted"_a.none(), "message_id"_a.none(), "eos_padding"_a.none(), "tail_total"_a.none() = nb::none(),
      "mark_last"_a.none() = true, "fit_size"_a.none() = nb::none());
}

}  // namespace halvane::avatar::py
