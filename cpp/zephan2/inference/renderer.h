// The streaming core of the host: fed 16 kHz float32 audio in blocks of any
// size, it renders a chunk of frames whenever the chunk's audio is complete.
// Chunk 0 of a stream (21 frames, its first given twice) needs 25600 samples;
// every later chunk gives 32 frames per further 25600 samples. Each chunk:
// window -> WSOLA -> x3 -> encoder -> tokens -> 6 or 8 latent steps ->
// decoder -> RGB888 with colour correction. Frames are numbered from 3.
//
// Each chunk's frames are read-only views into one pixel array that lives as
// long as any of them. The sink forms of ready_chunks/flush_chunks hand over
// one chunk at a time, so a caller that writes and drops each chunk keeps one
// chunk in memory however much audio one feed brought.
//
// A chunk's pixel array is allocated once its first decoder batch is done,
// right after the pixel gate (when one is set) has returned: a caller whose
// sink hands chunks to another thread waits there until the previous chunk's
// pixels are released, so one chunk's pixels exist at a time. Time spent in
// the gate is not counted as rendering time.
//
// Thread contract: one thread at a time (the serving thread); RGB conversion
// fans out on the pool of the renderer's RgbSettings and returns before any
// frame is handed out. The gate runs on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "common/tensor.h"
#include "zephan2/inference/color_correct.h"
#include "zephan2/inference/litert_chain.h"
#include "zephan2/inference/rgb888.h"
#include "zephan2/inference/sliding_pcm.h"

namespace halvane::zephan2 {

struct RenderedFrame {
  int64_t index;
  int64_t row;  // row of the chunk's pixel array
  const uint8_t* pixels;  // FRAME_BYTES bytes, R G B interleaved
};

struct RenderedChunk {
  std::shared_ptr<const uint8_t[]> pixels;  // (n, FH, FW, 3)
  int64_t n = 0;
  std::vector<RenderedFrame> frames;        // indices rising by one; row 0 twice for chunk 0
};

class Renderer {
 public:
  using ChunkSink = std::function<void(RenderedChunk&&)>;
  using PixelGate = std::function<void()>;

  // `rgb`: the worker count of each chunk's RGB conversion and its pool.
  Renderer(std::shared_ptr<const LitertChain> chain, std::shared_ptr<const ColorCorrect> cc, RgbSettings rgb);

  void feed(const float* pcm, int64_t n, bool overlaps_buffer = false);
  // Render every chunk whose audio is complete, handing each to `sink` as
  // soon as it exists.
  void ready_chunks(const ChunkSink& sink);
  // Render the chunks that remain at the end of the stream's input.
  void flush_chunks(const ChunkSink& sink);
  std::vector<RenderedChunk> ready_chunks();
  std::vector<RenderedChunk> flush_chunks();
  void reset();
  // Called before each chunk's pixel array is allocated; may throw, which
  // fails the chunk. An empty gate (the default) is not called.
  void set_pixel_gate(PixelGate gate) { gate_ = std::move(gate); }
  // Mean chunk wall time over the 1.6 s a steady chunk yields; none before
  // the first chunk of a stream.
  std::optional<double> rtf() const;

  static int64_t need(int64_t ci);
  // Frame items that chunk `ci` of a stream writes (chunk 0 gives its first frame twice).
  static int64_t chunk_items(int64_t ci);
  // Frame items that ready_chunks writes over a stream fed `fed` samples: what
  // a parent that abandons the stream still has to read before its reset.
  static int64_t ready_items(int64_t fed);
  Tensor window(int64_t ci) const;  // WIN_SAMPLES float32 samples
  RenderedChunk process_chunk(int64_t ci);
  void trim_audio();

  const std::shared_ptr<const LitertChain>& chain() const { return chain_; }
  const std::shared_ptr<const ColorCorrect>& cc() const { return cc_; }
  int64_t rgb_threads() const { return rgb_.threads; }
  const std::shared_ptr<SlidingPCM>& pcm() const { return pcm_; }
  int64_t ci() const { return ci_; }
  const Tensor& hist() const { return hist_; }
  const std::optional<Tensor>& prev_lat() const { return prev_lat_; }
  int64_t px_frame() const { return px_frame_; }
  double c_wall() const { return c_wall_; }
  double m_wall() const { return m_wall_; }  // the part of c_wall() spent in model calls
  int64_t c_n() const { return c_n_; }

 private:
  std::shared_ptr<const LitertChain> chain_;
  std::shared_ptr<const ColorCorrect> cc_;
  RgbSettings rgb_;
  PixelGate gate_;
  std::shared_ptr<SlidingPCM> pcm_;
  int64_t ci_ = 0;
  Tensor hist_;
  std::optional<Tensor> prev_lat_;
  int64_t px_frame_ = 3;
  double c_wall_ = 0.0;
  double m_wall_ = 0.0;
  int64_t c_n_ = 0;
};

}  // namespace halvane::zephan2
