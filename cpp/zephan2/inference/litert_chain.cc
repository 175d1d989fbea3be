#include "zephan2/inference/litert_chain.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "common/errors.h"
#include "common/text.h"
#include "zephan2/inference/constants.h"
#include "zephan2/messages.h"

namespace halvane::zephan2 {

using halvane::DType;

namespace {

constexpr int64_t kTokRows = 14;

// Element i of a float tensor as double (float16 is decoded bit by bit).
double read_as_double(const Tensor& t, int64_t i) {
  switch (t.dtype) {
    case DType::f32: return static_cast<const float*>(t.data)[i];
    case DType::f64: return static_cast<const double*>(t.data)[i];
    case DType::i8: return static_cast<const int8_t*>(t.data)[i];
    case DType::u8: return static_cast<const uint8_t*>(t.data)[i];
    case DType::i16: return static_cast<const int16_t*>(t.data)[i];
    case DType::i32: return static_cast<const int32_t*>(t.data)[i];
    case DType::i64: return static_cast<double>(static_cast<const int64_t*>(t.data)[i]);
    case DType::f16: {
      const uint16_t h = static_cast<const uint16_t*>(t.data)[i];
      const int e = (h >> 10) & 31, m = h & 1023;
      const double s = (h & 0x8000) ? -1.0 : 1.0;
      if (e == 0) return s * std::ldexp(m, -24);
      if (e == 31) return m ? std::nan("") : s * INFINITY;
      return s * std::ldexp(m + 1024, e - 25);
    }
    default: throw halvane::ValueError(msg::kUnsupportedElementType);
  }
}

}  // namespace

Tensor f32_copy(const Tensor& t) {
  Tensor c = make_f32(t.shape);
  if (t.dtype == DType::f32) {
    std::memcpy(c.data, t.data, t.nbytes());
  } else {
    float* d = c.f32();
    for (int64_t i = 0, n = t.size(); i < n; ++i) d[i] = static_cast<float>(read_as_double(t, i));
  }
  return c;
}

Tensor owned_f32(const Tensor& t) {
  return (t.dtype == DType::f32 && t.owns && t.writeable) ? t : f32_copy(t);
}

LitertChain::LitertChain(std::vector<std::string> paths, const Tensor& canon, int64_t threads,
                         const ModelRuntime& rt)
    : paths_(std::move(paths)) {
  std::map<std::string, std::shared_ptr<SignatureRunner>> table;
  for (const std::string& p : paths_) {
    its_.push_back(rt.open(p, threads));
    for (const std::string& name : its_.back()->signature_list())
      if (!table.count(name)) table.emplace(name, its_.back()->runner(name));
  }
  if (rt.release_staged) rt.release_staged(paths_);

  std::vector<std::string> missing, have;
  for (auto s : SIGS)
    if (!table.count(std::string(s))) missing.emplace_back(s);
  if (!missing.empty()) {
    for (auto& [name, _] : table) have.push_back(name);  // std::map: byte order == code-point order
    throw halvane::RuntimeError(msg::missing_signatures(missing, paths_, have));
  }
  enc = table.at("enc");
  tok = table.at("tok14");
  step = table.at("step");
  dec16 = table.at("dec16");
  dec8 = table.at("dec8");

  hist_key_ = "args_0";
  for (const InputDetail& d : step->input_details())
    if (d.shape.size() == 5) {
      hist_key_ = d.name;
      break;
    }
  atok_key_ = hist_key_ == "args_0" ? "args_1" : "args_0";

  if (canon.size() != LC * PLANE) throw halvane::ValueError(Tensor::reshape_error(canon.size(), {LC, PLANE}));
  canon_ = f32_copy(canon).reshaped({LC, PLANE});  // later changes to the caller's array stay out
}

Tensor LitertChain::new_hist() const {
  Tensor h = make_f32({1, LC, CTX, LH, LW});
  for (int64_t c = 0; c < LC; ++c)
    for (int64_t t = 0; t < CTX; ++t)
      std::memcpy(h.f32() + (c * CTX + t) * PLANE, canon_.f32() + c * PLANE, PLANE * sizeof(float));
  return h;
}

void LitertChain::shift_hist(Tensor& h, const Tensor& lat) {
  if (h.dtype != DType::f32 || h.size() != LC * CTX * PLANE)
    throw halvane::ValueError(msg::kHistoryShape);
  const auto* hb = static_cast<const char*>(h.data);
  const auto* lb = static_cast<const char*>(lat.data);
  const bool overlaps = lb < hb + h.nbytes() && hb < lb + lat.nbytes();
  const Tensor l = (lat.dtype == DType::f32 && !overlaps) ? lat : f32_copy(lat);
  if (l.size() != LC * PLANE) throw halvane::ValueError(Tensor::reshape_error(l.size(), {LC, LH, LW}));
  for (int64_t c = 0; c < LC; ++c) {
    float* ch = h.f32() + c * CTX * PLANE;
    std::memmove(ch, ch + PLANE, (CTX - 1) * PLANE * sizeof(float));
    std::memcpy(ch + (CTX - 1) * PLANE, l.f32() + c * PLANE, PLANE * sizeof(float));
  }
}

Tensor LitertChain::run_enc(const Tensor& tempo) const {
  return enc->run({{"args_0", tempo.reshaped({1, TEMPO_SAMPLES})}});
}

Tensor LitertChain::run_tok(const Tensor& feats) const {
  return tok->run({{"args_0", feats}}).reshaped({kTokRows, NA, CA});
}

Tensor LitertChain::run_step(const Tensor& hist, const Tensor& atok) const {
  Tensor out = step->run({{hist_key_, hist}, {atok_key_, atok.reshaped({1, NA, CA})}});
  // The latent is kept until the chunk's frames are decoded: make sure no
  // later runner call can reuse the memory behind it.
  return owned_f32(out).reshaped({LC, LH, LW});
}

namespace {

struct Batch {
  int64_t size, take;
};

// 16 rows at a time while more than 8 remain, then one batch of 8.
std::vector<Batch> dec_batches(int64_t n) {
  std::vector<Batch> b;
  for (int64_t done = 0; done < n;) {
    const int64_t rem = n - done, size = rem > 8 ? 16 : 8;
    b.push_back({size, std::min(rem, size)});
    done += b.back().take;
  }
  return b;
}

constexpr int64_t kRowValues = DEC_CH * PLANE;
constexpr int64_t kFrameValues = 3 * FH * FW;

void check_dec_input(const Tensor& xs, int64_t n) {
  if (xs.size() < n * kRowValues)
    throw halvane::ValueError(msg::decoder_rows(xs.size() / kRowValues, n));
}

Tensor zero_padded_batch(const Tensor& xs, int64_t done, const Batch& b) {
  Tensor in = make_f32({b.size, DEC_CH, LH, LW}, true);
  std::memcpy(in.data, xs.f32() + done * kRowValues, static_cast<size_t>(b.take * kRowValues) * sizeof(float));
  return in;
}

// The batch's output as float32 (b.size, 3, FH, FW); `owned` copies a view
// so that it survives the runner's next call.
Tensor checked_frames(Tensor out, const Batch& b, bool owned = true) {
  out = owned ? owned_f32(out) : out.dtype == DType::f32 ? out : f32_copy(out);
  if (out.size() != b.size * kFrameValues)
    throw halvane::ValueError(Tensor::reshape_error(out.size(), {b.size, 3, FH, FW}));
  return out.reshaped({b.size, 3, FH, FW});
}

// Runs the decoder over rows 0..n-1 of `xs` in batches, full batches read
// where they stand, and hands fn each batch's checked output (a view of the
// runner's buffer when `in_place`), the batch and its first row.
void each_dec_batch(const LitertChain& c, const Tensor& xs_in, int64_t n, bool in_place,
                    const std::function<void(const Tensor& out, const Batch& b, int64_t done)>& fn) {
  if (n <= 0) return;
  check_dec_input(xs_in, n);
  const Tensor xs = xs_in.dtype == DType::f32 ? xs_in : f32_copy(xs_in);
  int64_t done = 0;
  for (const Batch& b : dec_batches(n)) {
    Tensor in;
    if (b.take == b.size) {
      in = xs;
      in.data = xs.f32() + done * kRowValues;
      in.shape = {b.size, DEC_CH, LH, LW};
      in.owns = false;
    } else {
      in = zero_padded_batch(xs, done, b);
    }
    SignatureRunner& r = b.size == 16 ? *c.dec16 : *c.dec8;
    const std::vector<std::pair<std::string, Tensor>> inputs = {{"args_0", std::move(in)}};
    fn(checked_frames(in_place ? r.run_in_place(inputs) : r.run(inputs), b, !in_place), b, done);
    done += b.take;
  }
}

}  // namespace

std::vector<Tensor> LitertChain::run_dec_frames(const Tensor& xs, int64_t n) const {
  std::vector<Tensor> frames;
  each_dec_batch(*this, xs, n, false, [&](const Tensor& out, const Batch& b, int64_t) {
    for (int64_t k = 0; k < b.take; ++k) frames.push_back(out.row(k));
  });
  return frames;
}

void LitertChain::decode_in_place(int64_t n, const RowWriter& rows, const FrameSink& sink) const {
  std::vector<Tensor> frames;
  int64_t done = 0;
  for (const Batch& b : dec_batches(std::max<int64_t>(n, 0))) {
    SignatureRunner& r = b.size == 16 ? *dec16 : *dec8;
    const std::vector<int64_t> shape = {b.size, DEC_CH, LH, LW};
    Tensor out;
    if (std::optional<Tensor> in = r.input_view("args_0", shape); in && in->dtype == DType::f32) {
      rows(in->f32(), done, b.take);
      std::fill(in->f32() + b.take * kRowValues, in->f32() + b.size * kRowValues, 0.0f);
      out = r.run_prepared();
    } else {
      Tensor batch = make_f32(shape);
      rows(batch.f32(), done, b.take);
      std::fill(batch.f32() + b.take * kRowValues, batch.f32() + b.size * kRowValues, 0.0f);
      out = r.run_in_place({{"args_0", batch}});
    }
    out = checked_frames(std::move(out), b, false);
    frames.clear();
    for (int64_t k = 0; k < b.take; ++k) frames.push_back(out.row(k));
    sink(frames, done);
    done += b.take;
  }
}

Tensor LitertChain::run_dec_batch(const Tensor& xs, int64_t n) const {
  Tensor px = make_f32({std::max<int64_t>(n, 0), 3, FH, FW});
  each_dec_batch(*this, xs, n, true, [&](const Tensor& out, const Batch& b, int64_t done) {
    std::memcpy(px.f32() + done * kFrameValues, out.data, static_cast<size_t>(b.take * kFrameValues) * sizeof(float));
  });
  return px;
}

}  // namespace halvane::zephan2
