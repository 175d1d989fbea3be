#include "zephan2/inference/renderer.h"

#include <algorithm>
#include <cstring>

#include "common/clock.h"
#include "common/errors.h"
#include "zephan2/inference/constants.h"
#include "zephan2/inference/dec_inputs.h"
#include "zephan2/inference/rgb888.h"
#include "zephan2/inference/wsola.h"
#include "zephan2/messages.h"

namespace halvane::zephan2 {

namespace {

int64_t window_start(int64_t ci) { return (ci <= 1 ? 0 : (ci - 1) * STEADY_PX) * SPF; }

}  // namespace

Renderer::Renderer(std::shared_ptr<const LitertChain> chain, std::shared_ptr<const ColorCorrect> cc, RgbSettings rgb)
    : chain_(std::move(chain)), cc_(std::move(cc)), rgb_(std::move(rgb)) {
  reset();
}

void Renderer::reset() {
  pcm_ = std::make_shared<SlidingPCM>();
  ci_ = 0;
  hist_ = chain_->new_hist();
  prev_lat_.reset();
  px_frame_ = 3;
  c_wall_ = 0.0;
  m_wall_ = 0.0;
  c_n_ = 0;
}

void Renderer::feed(const float* pcm, int64_t n, bool overlaps_buffer) { pcm_->append(pcm, n, overlaps_buffer); }

int64_t Renderer::need(int64_t ci) { return std::min(window_start(ci) + WIN_SAMPLES, (ci + 1) * SPC); }

int64_t Renderer::chunk_items(int64_t ci) {
  return ci == 0 ? dec_rows(CHUNK0_LAT, nullptr) + PRESENT_DELAY_FRAMES : STEADY_PX;
}

int64_t Renderer::ready_items(int64_t fed) {
  int64_t items = 0;
  for (int64_t ci = 0; fed >= need(ci); ++ci) items += chunk_items(ci);
  return items;
}

Tensor Renderer::window(int64_t ci) const {
  const int64_t s0 = window_start(ci);
  const int64_t hi = std::min({s0 + WIN_SAMPLES, (ci + 1) * SPC, pcm_->fed()});
  Tensor w = make_f32({WIN_SAMPLES}, true);
  if (hi > s0) {
    if (s0 < pcm_->base()) throw halvane::RuntimeError(msg::kConsumedContext);
    FloatView live = pcm_->live();
    std::memcpy(w.data, live.data + (s0 - pcm_->base()), static_cast<size_t>(hi - s0) * sizeof(float));
  }
  return w;
}

RenderedChunk Renderer::process_chunk(int64_t ci) {
  const double t0 = halvane::now_seconds();
  const int64_t blk = ci == 0 ? CHUNK0_LAT : STEADY_LAT;
  const int64_t row_base = ci == 0 ? 0 : 6;

  const Tensor w = window(ci);
  auto tempo_v = std::make_shared<std::vector<float>>(tempo_wsola(w.f32(), WIN_SAMPLES));
  for (float& v : *tempo_v) v *= 3.0f;
  Tensor tempo;
  tempo.data = tempo_v->data();
  tempo.shape = {static_cast<int64_t>(tempo_v->size())};
  tempo.owner = std::move(tempo_v);

  double t_model = halvane::now_seconds();
  const Tensor tok = chain_->run_tok(chain_->run_enc(tempo));
  std::vector<Tensor> lats;
  for (int64_t j = 0; j < blk; ++j) {
    Tensor lat = chain_->run_step(hist_, tok.row(row_base + j));
    LitertChain::shift_hist(hist_, lat);
    lats.push_back(std::move(lat));
  }
  double models = halvane::now_seconds() - t_model;

  std::vector<const float*> lat_ptrs;
  for (const Tensor& l : lats) lat_ptrs.push_back(l.f32());
  const float* prev = prev_lat_ ? prev_lat_->f32() : nullptr;
  const int64_t n = dec_rows(blk, prev);
  // Each decoder batch is converted straight from the decoder's own output
  // buffer, before the next batch overwrites it. The pixel array comes into
  // being only when the first batch is ready to be converted, so a previous
  // chunk still being written out overlaps this chunk's models, not its pixels.
  std::shared_ptr<uint8_t[]> pixels;
  double gated = 0.0;
  const auto allocate_pixels = [&] {
    if (gate_) {
      const double t_gate = halvane::now_seconds();
      gate_();
      gated = halvane::now_seconds() - t_gate;
    }
    pixels = std::make_shared_for_overwrite<uint8_t[]>(static_cast<size_t>(std::max<int64_t>(n, 1) * FRAME_BYTES));
  };
  t_model = halvane::now_seconds();
  const auto rows = [&](float* out, int64_t first, int64_t count) {
    const double t_rows = halvane::now_seconds();
    build_dec_rows(lat_ptrs, prev, first, count, out);
    models -= halvane::now_seconds() - t_rows;  // ours, not the model's
  };
  chain_->decode_in_place(n, rows, [&](std::span<const Tensor> frames, int64_t first) {
    const double t_rgb = halvane::now_seconds();
    models += t_rgb - t_model;
    if (!pixels) allocate_pixels();
    px_to_rgb888_into(frames, pixels.get() + first * FRAME_BYTES, cc_.get(), rgb_.threads, rgb_.pool);
    t_model = halvane::now_seconds();
  });
  if (!pixels) allocate_pixels();
  prev_lat_ = lats.back();

  RenderedChunk chunk;
  chunk.n = n;
  chunk.pixels = std::move(pixels);
  for (int64_t k = 0; k < n; ++k) {
    const uint8_t* p = chunk.pixels.get() + k * FRAME_BYTES;
    for (int64_t r = 0, reps = (ci == 0 && k == 0) ? 1 + PRESENT_DELAY_FRAMES : 1; r < reps; ++r)
      chunk.frames.push_back({px_frame_++, k, p});
  }
  c_wall_ += halvane::now_seconds() - t0 - gated;
  m_wall_ += models;
  c_n_ += 1;
  return chunk;
}

void Renderer::trim_audio() {
  const int64_t first = ci_ <= 1 ? 0 : (ci_ - 1) * STEADY_PX;
  pcm_->discard_before(first * SPF);
}

void Renderer::ready_chunks(const ChunkSink& sink) {
  while (pcm_->fed() >= need(ci_)) {
    RenderedChunk c = process_chunk(ci_);
    ci_ += 1;
    trim_audio();
    sink(std::move(c));
  }
}

void Renderer::flush_chunks(const ChunkSink& sink) {
  const int64_t fed = pcm_->fed();
  const int64_t end_fi = (fed + SPF - 1) / SPF - 1;  // fed >= 0, so the division floors
  const int64_t n = std::max<int64_t>(1, (end_fi + 12 + 31) / 32);  // end_fi >= -1
  while (ci_ < n) {
    RenderedChunk c = process_chunk(ci_);
    ci_ += 1;
    trim_audio();
    sink(std::move(c));
  }
}

std::vector<RenderedChunk> Renderer::ready_chunks() {
  std::vector<RenderedChunk> out;
  ready_chunks([&](RenderedChunk&& c) { out.push_back(std::move(c)); });
  return out;
}

std::vector<RenderedChunk> Renderer::flush_chunks() {
  std::vector<RenderedChunk> out;
  flush_chunks([&](RenderedChunk&& c) { out.push_back(std::move(c)); });
  return out;
}

std::optional<double> Renderer::rtf() const {
  if (c_n_ == 0) return std::nullopt;
  return (c_wall_ / static_cast<double>(c_n_)) / (static_cast<double>(STEADY_PX) / static_cast<double>(FPS));
}

}  // namespace halvane::zephan2
