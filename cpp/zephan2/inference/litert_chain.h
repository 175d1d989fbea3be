// The avatar's networks as LiteRT signature runners: audio encoder ("enc"),
// audio tokens ("tok14"), latent step over a 16-latent history ("step") and
// the frame decoder in batches of 16 and 8 ("dec16", "dec8").
//
// The runtime itself is reached through the small interfaces below, which the
// binding layer implements over the LiteRT Python interpreter; the chain adds
// the signature table (first file wins), the history, the reshapes (each an
// explicit element-count check) and the decoder batching.
//
// Thread contract: one caller thread at a time. Each interpreter runs its own
// kernels on `threads` threads. Results are new arrays or views that keep
// their storage alive; nothing the chain returns is changed by a later call.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/tensor.h"
#include "zephan2/messages.h"

namespace halvane::zephan2 {

using halvane::Tensor;
using halvane::make_f32;

struct InputDetail {
  std::string name;
  std::vector<int64_t> shape;
};

class SignatureRunner {
 public:
  virtual ~SignatureRunner() = default;
  virtual std::vector<InputDetail> input_details() = 0;
  // Runs on the named inputs and returns the output "output_0".
  virtual Tensor run(const std::vector<std::pair<std::string, Tensor>>& inputs) = 0;
  // The same run, but the output may be a view of the runner's own buffer:
  // valid, and writable as scratch, only until this runner runs again.
  virtual Tensor run_in_place(const std::vector<std::pair<std::string, Tensor>>& inputs) { return run(inputs); }
  // A writable view of input `name` inside the runner, resized to `shape`:
  // what is written there is what run_prepared() reads. Nullopt when the
  // runtime cannot hand one out.
  virtual std::optional<Tensor> input_view(const std::string&, const std::vector<int64_t>&) { return std::nullopt; }
  // Runs on what input_view() holds; the output as run_in_place() gives it.
  virtual Tensor run_prepared() { throw halvane::RuntimeError(msg::kNoPreparedInputs); }
};

class ModelInterpreter {
 public:
  virtual ~ModelInterpreter() = default;
  virtual std::vector<std::string> signature_list() = 0;
  virtual std::shared_ptr<SignatureRunner> runner(const std::string& name) = 0;
};

struct ModelRuntime {
  // An interpreter of the model file with its tensors allocated.
  std::function<std::shared_ptr<ModelInterpreter>(const std::string& path, int64_t threads)> open;
  // Removes the staged temporary files among the paths.
  std::function<void(const std::vector<std::string>&)> release_staged;
};

class LitertChain {
 public:
  // `canon`: LC * PLANE values of any float type and shape. Raises
  // halvane::RuntimeError naming the missing signatures when the files lack any.
  LitertChain(std::vector<std::string> paths, const Tensor& canon, int64_t threads, const ModelRuntime& rt);

  const std::vector<std::string>& paths() const { return paths_; }
  const std::vector<std::shared_ptr<ModelInterpreter>>& interpreters() const { return its_; }
  const std::string& hist_key() const { return hist_key_; }
  const std::string& atok_key() const { return atok_key_; }
  const Tensor& canon() const { return canon_; }  // (LC, PLANE) float32

  Tensor new_hist() const;                                // (1, LC, CTX, LH, LW) float32
  static void shift_hist(Tensor& h, const Tensor& lat);   // in place

  Tensor run_enc(const Tensor& tempo) const;              // output unchanged
  Tensor run_tok(const Tensor& feats) const;              // (14, NA, CA), runner's type
  Tensor run_step(const Tensor& hist, const Tensor& atok) const;  // (LC, LH, LW) float32, owned
  std::vector<Tensor> run_dec_frames(const Tensor& xs, int64_t n) const;  // n x (3, FH, FW) float32
  // Decodes n frames batch by batch: `rows(out, first, count)` writes input
  // rows first .. first+count-1 straight where the decoder reads them, and
  // `sink` gets each batch's frames as float32 (3, FH, FW) views of the
  // decoder's own output (with the index of the first); it must be done with
  // them when it returns, since the next batch overwrites them. No
  // frame-sized array is allocated.
  using RowWriter = std::function<void(float* out, int64_t first, int64_t count)>;
  using FrameSink = std::function<void(std::span<const Tensor> frames, int64_t first)>;
  void decode_in_place(int64_t n, const RowWriter& rows, const FrameSink& sink) const;
  Tensor run_dec_batch(const Tensor& xs, int64_t n) const;               // (n, 3, FH, FW) float32

  std::shared_ptr<SignatureRunner> enc, tok, step, dec16, dec8;

 private:
  std::vector<std::string> paths_;
  std::vector<std::shared_ptr<ModelInterpreter>> its_;
  std::string hist_key_, atok_key_;
  Tensor canon_;
};

// A float32 array that owns its storage and may be written: `t` itself when
// it already is one, else a new contiguous copy converted to float32.
Tensor owned_f32(const Tensor& t);
// Always a new float32 copy.
Tensor f32_copy(const Tensor& t);

}  // namespace halvane::zephan2
