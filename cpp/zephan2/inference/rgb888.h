// Decoded planar frames (3, FH, FW) float, nominally 0..1, to RGB888 images
// (FH, FW, 3) bytes with the colour correction applied.
//
// The fast path takes a writeable float32 (3, FH, FW) frame: it scales and
// clips it in place, truncates to bytes, applies the correction table and
// interleaves, one fused pass per row. Every other frame takes the reference
// path, which leaves the frame untouched. Both give the same bytes. NaN gives
// byte 0 on both.
//
// Thread contract: px_to_rgb888_chunk spreads one chunk's frames over the
// worker pool its caller gives it (the caller decides how many pools there
// are, how big and how long they live); it returns only when every frame is
// done and then rethrows the first failure in frame-range order. Each task
// writes its own rows and frames only.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "common/tensor.h"
#include "zephan2/inference/color_correct.h"
#include "zephan2/inference/logger.h"

namespace halvane::zephan2 {

// Worker threads named "<name>_0", "<name>_1", ... (cut to the 15 characters
// a thread name holds) taking tasks in submission order. Starts n workers, or
// fewer when the system refuses more threads (none only by raising).
// Destruction runs what is still queued, then joins the workers.
class RgbPool {
 public:
  explicit RgbPool(int64_t n, std::string_view name = "z2-rgb");
  ~RgbPool();
  RgbPool(const RgbPool&) = delete;
  RgbPool& operator=(const RgbPool&) = delete;

  int64_t size() const { return static_cast<int64_t>(workers_.size()); }
  // `task` must not throw.
  void submit(std::function<void()> task);

 private:
  void run();

  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> q_;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

// Where a chunk that runs on `threads` >= 2 workers gets its pool; asked once
// per parallel chunk. An empty source runs every chunk on the calling thread.
using RgbPoolSource = std::function<RgbPool&(int64_t threads)>;

// What a renderer's RGB conversion runs on: the wanted worker count per
// chunk and the pool to take them from.
struct RgbSettings {
  int64_t threads = 1;
  RgbPoolSource pool;
};

// Reference conversion of one frame (float32 or float64, shape (3, H, W) with
// H * W == FH * FW) into FRAME_BYTES bytes at `out`. Raises
// halvane::ValueError for any other input.
void px_to_rgb888(const halvane::Tensor& px_chw, const ColorCorrect* cc, uint8_t* out);

// Frames lo .. hi-1 of `px` into the same rows of `u8` (n, FH, FW, 3).
void rgb_convert_range(std::span<const halvane::Tensor> px, uint8_t* u8, int64_t lo, int64_t hi,
                       const ColorCorrect* cc);

// A new (n, FH, FW, 3) byte array for the n frames, on up to `threads`
// threads: min(n, threads) contiguous frame ranges on the pool that `pool`
// gives, or everything on the calling thread when that is one range.
std::shared_ptr<uint8_t[]> px_to_rgb888_chunk(std::span<const halvane::Tensor> px, const ColorCorrect* cc,
                                              int64_t threads, const RgbPoolSource& pool);
// The same into `out`, FRAME_BYTES per frame.
void px_to_rgb888_into(std::span<const halvane::Tensor> px, uint8_t* out, const ColorCorrect* cc, int64_t threads,
                       const RgbPoolSource& pool);

// The RGB thread count from the ZEPHAN2_RGB_THREADS setting's text (nullopt
// when it is not set), else max(1, min(8, effective_cpu_count() / 3)). A text
// that is not an integer is reported through `log` and ignored.
int64_t rgb_threads(std::optional<std::string_view> setting, const Logger& log);

}  // namespace halvane::zephan2
