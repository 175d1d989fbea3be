#include "zephan2/host/serve.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <utility>
#include <nlohmann/json.hpp>

#include "common/clock.h"
#include "zephan2/inference/constants.h"
#include "zephan2/host/log.h"
#include "zephan2/messages.h"

namespace halvane::zephan2 {

namespace {

std::string fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

}  // namespace

void emit(FdWriter& out, const std::vector<RenderedFrame>& frames) {
  for (const RenderedFrame& f : frames) out.write_frame(f.index, f.pixels, FRAME_BYTES);
  if (!frames.empty()) out.flush();
}

ChunkWriter::ChunkWriter(FdWriter& out)
    : own_fd_(reopen_nonblocking(out.fd())), out_(own_fd_ >= 0 ? own_fd_ : out.fd()), thread_([this] { run(); }) {}

ChunkWriter::~ChunkWriter() {
  {
    std::lock_guard<std::mutex> g(m_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
  if (own_fd_ >= 0) ::close(own_fd_);
}

void ChunkWriter::run() {
  for (;;) {
    std::optional<RenderedChunk> c;
    {
      std::unique_lock<std::mutex> l(m_);
      cv_.wait(l, [this] { return stop_ || job_.has_value(); });
      if (!job_) return;  // stopping with nothing in hand
      c = std::move(job_);
      job_.reset();
    }
    std::exception_ptr err;
    try {
      emit(out_, c->frames);
    } catch (...) {
      err = std::current_exception();
    }
    c.reset();  // the pixels go before the chunk counts as written
    {
      std::lock_guard<std::mutex> g(m_);
      if (err && !err_) err_ = err;
      busy_ = false;
    }
    cv_.notify_all();
  }
}

void ChunkWriter::wait() {
  std::unique_lock<std::mutex> l(m_);
  cv_.wait(l, [this] { return !busy_; });
  if (err_) std::rethrow_exception(std::exchange(err_, nullptr));
}

void ChunkWriter::submit(RenderedChunk&& c) {
  wait();
  {
    std::lock_guard<std::mutex> g(m_);
    job_ = std::move(c);
    busy_ = true;
  }
  cv_.notify_all();
}

std::string ready_line(const ColorCorrect* cc) {
  nlohmann::ordered_json hello;
  hello["fps"] = FPS;
  hello["width"] = FW;
  hello["height"] = FH;
  hello["sample_rate"] = SR;
  if (cc) {
    ColorDescriptor d = color_descriptor(*cc);
    nlohmann::ordered_json color;
    color["kind"] = d.kind;
    color["sha256"] = d.sha256;
    hello["color"] = color;
  } else {
    hello["color"] = nullptr;
  }
  return "READY " + hello.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace) + "\n";
}

int serve(Renderer& renderer, std::string_view nm, ByteSource& in, FdWriter& out) {
  const std::string ready = ready_line(renderer.cc().get());
  out.write(ready.data(), ready.size());
  out.flush();
  elog(msg::ready(FW, FH, FPS, nm));
  double last_rtf_log = halvane::now_seconds();

  // Chunks go out as soon as each is rendered, on the writer's thread while
  // this one goes on; the renderer allocates a chunk's pixels only once the
  // previous chunk is written, so one data step of any size holds one chunk's
  // frames in memory at a time.
  ChunkWriter writer(out);
  struct GateReset {
    Renderer& r;
    ~GateReset() { r.set_pixel_gate(nullptr); }
  } gate_reset{renderer};
  renderer.set_pixel_gate([&writer] { writer.wait(); });
  const Renderer::ChunkSink sink = [&](RenderedChunk&& c) {
    writer.submit(std::move(c));
    check_stop();
  };
  SampleBuffer samples;
  for (;;) {
    const Step step = read_step(in, samples);
    if (step.kind == Step::end) break;
    switch (step.kind) {
      case Step::flush: {
        renderer.flush_chunks(sink);
        writer.wait();
        const int32_t marker = -1;
        out.write(&marker, 4);
        out.flush();
        continue;
      }
      case Step::reset:
        renderer.reset();
        continue;
      case Step::bad:
        writer.wait();
        elog(msg::bad_step(step.word));
        return 1;
      default:
        break;
    }
    renderer.feed(samples.data(), static_cast<int64_t>(step.word));
    renderer.ready_chunks(sink);
    const double now = halvane::now_seconds();
    if (now - last_rtf_log > 5.0 && renderer.rtf()) {
      const double cw = renderer.c_wall();
      const int64_t cn = renderer.c_n();
      const double per_chunk = cw / static_cast<double>(std::max<int64_t>(cn, 1));
      const double fps = per_chunk > 0.0 ? static_cast<double>(STEADY_PX) / per_chunk : INFINITY;
      elog(msg::rtf_line(fixed(*renderer.rtf(), 3), cn, fixed(fps, 1)));
      last_rtf_log = now;
    }
  }
  writer.wait();
  check_stop();
  elog(msg::kStdinClosed);
  return 0;
}

}  // namespace halvane::zephan2
