// The serving loop of the host: the READY line, then one protocol message
// after another, rendered frames written as each chunk completes, until the
// input ends (status 0) or a step word is out of range (status 1).
//
// Thread contract: the serving thread; the renderer is not shared. Each
// finished chunk's records are written by the loop's ChunkWriter thread while
// the serving thread reads on and renders the next chunk; the serving thread
// waits for the writer before it writes anything itself (flush marker), before
// the next chunk's pixels are allocated, and before it returns.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <string_view>
#include <vector>

#include "zephan2/host/protocol.h"
#include "zephan2/inference/renderer.h"

namespace halvane::zephan2 {

// "READY {...}\n" for the renderer's colour correction.
std::string ready_line(const ColorCorrect* cc);

// Writes each frame record, then flushes when there was any.
void emit(FdWriter& out, const std::vector<RenderedFrame>& frames);

// Writes one chunk's frame records at a time to the descriptor of `out` on a
// thread of its own, then drops the chunk (and with it the chunk's pixels).
// A pipe is written through a non-blocking descriptor of its own, so a stop
// signal ends a write that waits for the parent. A failure of the writing
// (OSError, Stopped) is kept and raised on the caller's thread by the next
// submit() or wait(). Nothing may write to `out` while a chunk is in hand,
// nor leave bytes pending in it when handing one over.
class ChunkWriter {
 public:
  explicit ChunkWriter(FdWriter& out);
  // Finishes the chunk in hand, as the serving thread would have, then ends
  // the thread; a failure of that last chunk is dropped.
  ~ChunkWriter();
  ChunkWriter(const ChunkWriter&) = delete;
  ChunkWriter& operator=(const ChunkWriter&) = delete;

  // Waits for the chunk in hand, then hands `c` over and returns.
  void submit(RenderedChunk&& c);
  // Returns once no chunk is in hand; raises the failure of the last one.
  void wait();

 private:
  void run();

  int own_fd_;  // -1: writes go to the descriptor of `out` itself
  FdWriter out_;
  std::mutex m_;
  std::condition_variable cv_;
  std::optional<RenderedChunk> job_;
  bool busy_ = false, stop_ = false;
  std::exception_ptr err_;
  std::thread thread_;
};

int serve(Renderer& renderer, std::string_view nm, ByteSource& in, FdWriter& out);

}  // namespace halvane::zephan2
