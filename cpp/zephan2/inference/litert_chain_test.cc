// The chain's own logic over a scripted runtime: signature table, step input
// names, history shifting and decoder batching (which runner, how many rows,
// zero padding, views into the batch output); and a renderer over that chain
// converting its frames on the worker pool its caller gives it.
#include "zephan2/inference/litert_chain.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cmath>
#include <map>
#include <optional>

#include "zephan2/inference/renderer.h"

#include "zephan2/inference/constants.h"

using namespace halvane::zephan2;

namespace {

struct Call {
  std::string file, sig;
  int64_t rows;          // first dimension of args_0
  int64_t nonzero_rows;  // rows of args_0 that hold any non-zero value
};

struct Script {
  std::vector<Call> calls;
  std::map<std::string, std::vector<InputDetail>> details;
  bool readonly_f64_dec = false;
  bool in_place = false;  // runners answer run_in_place with views of their own buffer
  int in_place_calls = 0;
  bool varied_steps = false;  // each step's latent holds its call number / 16
  int step_calls = 0;
};

class FakeRunner : public SignatureRunner {
 public:
  FakeRunner(std::string file, std::string sig, Script* s) : file_(std::move(file)), sig_(std::move(sig)), s_(s) {}
  std::vector<InputDetail> input_details() override { return s_->details[sig_]; }
  Tensor run(const std::vector<std::pair<std::string, Tensor>>& inputs) override {
    const Tensor& x = inputs.at(0).second;
    if (sig_.rfind("dec", 0) == 0) {
      const int64_t rows = x.shape[0], per = x.size() / rows;
      int64_t nz = 0;
      for (int64_t r = 0; r < rows; ++r)
        for (int64_t i = 0; i < per; ++i)
          if (x.f32()[r * per + i] != 0.0f) { ++nz; break; }
      s_->calls.push_back({file_, sig_, rows, nz});
      // Frame r of the batch is filled with the first value of input row r.
      if (s_->readonly_f64_dec) {
        auto buf = std::make_shared<double[]>(rows * 3 * FH * FW);
        for (int64_t r = 0; r < rows; ++r)
          std::fill(buf.get() + r * 3 * FH * FW, buf.get() + (r + 1) * 3 * FH * FW, x.f32()[r * per]);
        Tensor t{buf, buf.get(), halvane::DType::f64, {rows, 3, FH, FW}, false, true};
        return t;
      }
      Tensor out = make_f32({rows, 3, FH, FW});
      for (int64_t r = 0; r < rows; ++r)
        std::fill(out.f32() + r * 3 * FH * FW, out.f32() + (r + 1) * 3 * FH * FW, x.f32()[r * per]);
      return out;
    }
    s_->calls.push_back({file_, sig_, x.shape.empty() ? 0 : x.shape[0], 0});
    if (sig_ == "step") {
      Tensor lat = make_f32({1, LC, LH, LW}, true);
      if (s_->varied_steps) std::fill(lat.f32(), lat.f32() + lat.size(), static_cast<float>(++s_->step_calls) / 16);
      return lat;
    }
    return make_f32({14, NA, CA}, true);
  }
  Tensor run_in_place(const std::vector<std::pair<std::string, Tensor>>& inputs) override {
    if (!s_->in_place) return run(inputs);
    ++s_->in_place_calls;
    const Tensor out = run(inputs);
    buf_.resize(static_cast<size_t>(out.size()));  // reused from call to call, like an interpreter's
    std::copy(out.f32(), out.f32() + out.size(), buf_.data());
    Tensor view = out;
    view.owner = nullptr;
    view.data = buf_.data();
    view.owns = false;
    return view;
  }
  std::optional<Tensor> input_view(const std::string&, const std::vector<int64_t>& shape) override {
    if (!s_->in_place) return std::nullopt;
    in_ = make_f32(shape);
    std::fill(in_.f32(), in_.f32() + in_.size(), -1.0f);  // stale content the writer must replace
    Tensor view = in_;
    view.owns = false;
    return view;
  }
  Tensor run_prepared() override { return run_in_place({{"args_0", in_}}); }

 private:
  std::string file_, sig_;
  Script* s_;
  std::vector<float> buf_;
  Tensor in_;
};

class FakeInterpreter : public ModelInterpreter {
 public:
  FakeInterpreter(std::string file, std::vector<std::string> sigs, Script* s)
      : file_(std::move(file)), sigs_(std::move(sigs)), s_(s) {}
  std::vector<std::string> signature_list() override { return sigs_; }
  std::shared_ptr<SignatureRunner> runner(const std::string& name) override {
    return std::make_shared<FakeRunner>(file_, name, s_);
  }

 private:
  std::string file_;
  std::vector<std::string> sigs_;
  Script* s_;
};

struct Fixture {
  Script script;
  std::vector<std::string> released;
  ModelRuntime rt;
  std::map<std::string, std::vector<std::string>> files;
  Fixture() {
    files["all.tflite"] = {"enc", "tok14", "step", "dec16", "dec8"};
    rt.open = [this](const std::string& p, int64_t) {
      return std::make_shared<FakeInterpreter>(p, files.at(p), &script);
    };
    rt.release_staged = [this](const std::vector<std::string>& p) { released = p; };
  }
  LitertChain chain(std::vector<std::string> paths = {"all.tflite"}) {
    Tensor canon = make_f32({LC * PLANE});
    for (int64_t i = 0; i < canon.size(); ++i) canon.f32()[i] = static_cast<float>(i % 977);
    return LitertChain(paths, canon, 2, rt);
  }
};

Tensor numbered_rows(int64_t n) {
  Tensor xs = make_f32({n, DEC_CH, LH, LW}, true);
  for (int64_t r = 0; r < n; ++r) xs.f32()[r * DEC_CH * PLANE] = static_cast<float>(r + 1);
  return xs;
}

}  // namespace

TEST(LitertChain, DecoderBatchesFollowTheRowCount) {
  Fixture fx;
  LitertChain c = fx.chain();
  struct Case {
    int64_t n;
    std::vector<std::tuple<std::string, int64_t, int64_t>> calls;  // sig, rows, rows with data
  };
  const std::vector<Case> cases = {
      {8, {{"dec8", 8, 8}}},
      {9, {{"dec16", 16, 9}}},
      {17, {{"dec16", 16, 16}, {"dec8", 8, 1}}},
      {21, {{"dec16", 16, 16}, {"dec8", 8, 5}}},
      {32, {{"dec16", 16, 16}, {"dec16", 16, 16}}},
      {0, {}},
  };
  for (const Case& cs : cases) {
    fx.script.calls.clear();
    Tensor xs = numbered_rows(cs.n);
    std::vector<Tensor> frames = c.run_dec_frames(xs, cs.n);
    ASSERT_EQ(fx.script.calls.size(), cs.calls.size()) << cs.n;
    for (size_t i = 0; i < cs.calls.size(); ++i) {
      EXPECT_EQ(fx.script.calls[i].sig, std::get<0>(cs.calls[i])) << cs.n;
      EXPECT_EQ(fx.script.calls[i].rows, std::get<1>(cs.calls[i])) << cs.n;
      EXPECT_EQ(fx.script.calls[i].nonzero_rows, std::get<2>(cs.calls[i])) << cs.n;
    }
    ASSERT_EQ(static_cast<int64_t>(frames.size()), cs.n);
    for (int64_t k = 0; k < cs.n; ++k) {
      EXPECT_EQ(frames[k].shape, (std::vector<int64_t>{3, FH, FW}));
      EXPECT_EQ(frames[k].f32()[3 * FH * FW - 1], static_cast<float>(k + 1));  // row order kept
    }
    Tensor batch = c.run_dec_batch(xs, cs.n);
    ASSERT_EQ(batch.shape[0], cs.n);
    for (int64_t k = 0; k < cs.n; ++k) EXPECT_EQ(batch.f32()[k * 3 * FH * FW], static_cast<float>(k + 1));
  }
}

TEST(LitertChain, FramesOfReadOnlyOrDoubleOutputsAreFloatCopies) {
  Fixture fx;
  fx.script.readonly_f64_dec = true;
  LitertChain c = fx.chain();
  std::vector<Tensor> frames = c.run_dec_frames(numbered_rows(3), 3);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[2].dtype, halvane::DType::f32);
  EXPECT_EQ(frames[2].f32()[7], 3.0f);
  EXPECT_TRUE(frames[0].writeable);
}

TEST(LitertChain, FirstFileWinsAndMissingSignaturesAreNamed) {
  Fixture fx;
  fx.files["shared-enc.tflite"] = {"enc", "tok14", "zz_extra"};
  fx.files["identity.tflite"] = {"enc", "step", "dec16", "dec8"};
  LitertChain c = fx.chain({"shared-enc.tflite", "identity.tflite"});
  EXPECT_EQ(fx.released, (std::vector<std::string>{"shared-enc.tflite", "identity.tflite"}));
  fx.script.calls.clear();
  c.run_enc(make_f32({TEMPO_SAMPLES}, true));
  c.run_step(c.new_hist(), make_f32({NA, CA}, true));
  ASSERT_EQ(fx.script.calls.size(), 2u);
  EXPECT_EQ(fx.script.calls[0].file, "shared-enc.tflite");
  EXPECT_EQ(fx.script.calls[1].file, "identity.tflite");

  fx.files["nodec8.tflite"] = {"tok14", "enc", "step", "dec16", "Zeta"};
  fx.released.clear();
  try {
    fx.chain({"nodec8.tflite"});
    FAIL();
  } catch (const halvane::RuntimeError& e) {
    EXPECT_STREQ(e.what(),
                 "LiteRT chain missing signature(s) ['dec8'] across ['nodec8.tflite'] (have ['Zeta', 'dec16', "
                 "'enc', 'step', 'tok14']); need combined_litert.tflite OR shared-enc.tflite + identity.tflite");
  }
  EXPECT_EQ(fx.released, std::vector<std::string>{"nodec8.tflite"});  // released before the check
  try {
    fx.chain({});
    FAIL();
  } catch (const halvane::RuntimeError& e) {
    EXPECT_STREQ(e.what(),
                 "LiteRT chain missing signature(s) ['enc', 'tok14', 'step', 'dec16', 'dec8'] across [] (have []); "
                 "need combined_litert.tflite OR shared-enc.tflite + identity.tflite");
  }
}

TEST(LitertChain, StepInputNamesFollowTheFiveDimensionalInput) {
  Fixture fx;
  EXPECT_EQ(fx.chain().hist_key(), "args_0");  // no details: defaults
  fx.script.details["step"] = {{"args_0", {1, NA, CA}}, {"args_1", {1, LC, CTX, LH, LW}}};
  LitertChain c = fx.chain();
  EXPECT_EQ(c.hist_key(), "args_1");
  EXPECT_EQ(c.atok_key(), "args_0");
  fx.script.details["step"] = {{"hist", {1, LC, CTX, LH, LW}}, {"tok", {1, NA, CA}}};
  EXPECT_EQ(fx.chain().atok_key(), "args_0");
}

TEST(LitertChain, HistoryStartsAsCanonAndShiftsInPlace) {
  Fixture fx;
  LitertChain c = fx.chain();
  Tensor h = c.new_hist();
  for (int64_t t = 0; t < CTX; ++t) EXPECT_EQ(h.f32()[(5 * CTX + t) * PLANE + 11], c.canon().f32()[5 * PLANE + 11]);
  for (int step = 1; step <= CTX; ++step) {
    Tensor lat = make_f32({LC, LH, LW});
    std::fill(lat.f32(), lat.f32() + lat.size(), static_cast<float>(-step));
    LitertChain::shift_hist(h, lat);
  }
  for (int64_t ch : {0, 15})
    for (int64_t t = 0; t < CTX; ++t) EXPECT_EQ(h.f32()[(ch * CTX + t) * PLANE + 100], static_cast<float>(-(t + 1)));
  Tensor bad = make_f32({7});
  EXPECT_THROW(LitertChain::shift_hist(h, bad), halvane::ValueError);
}

TEST(Renderer, ConvertsOnThePoolItsCallerGives) {
  // The renderer's RGB settings are its caller's alone: the environment
  // variable the program reads for them is set to something else here.
  ::setenv("ZEPHAN2_RGB_THREADS", "13", 1);
  Fixture fx;
  auto chain = std::make_shared<const LitertChain>(fx.chain());
  RgbPool pool(2, "z2-test");
  std::vector<int64_t> asked;
  const RgbPoolSource source = [&](int64_t nt) -> RgbPool& {
    asked.push_back(nt);
    return pool;
  };
  const std::vector<float> audio(SPC, 0.0f);
  for (int64_t threads : {3, 1}) {
    Renderer r(chain, nullptr, RgbSettings{threads, source});
    EXPECT_EQ(r.rgb_threads(), threads);
    r.feed(audio.data(), SPC);
    std::vector<RenderedChunk> chunks = r.ready_chunks();
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].n, 21);
  }
  EXPECT_EQ(asked, (std::vector<int64_t>{3, 3}));  // one per decoder batch (16 + 5); one thread never asks
  ::unsetenv("ZEPHAN2_RGB_THREADS");
}

TEST(LitertChain, DecodeInPlaceHandsEachBatchOverBeforeTheNextOverwritesIt) {
  Fixture fx;
  fx.script.in_place = true;
  LitertChain c = fx.chain();
  std::vector<float> values;
  std::vector<int64_t> firsts;
  const Tensor xs = numbered_rows(20);
  const auto rows = [&](float* out, int64_t first, int64_t count) {
    std::copy(xs.f32() + first * DEC_CH * PLANE, xs.f32() + (first + count) * DEC_CH * PLANE, out);
  };
  c.decode_in_place(20, rows, [&](std::span<const Tensor> frames, int64_t first) {
    firsts.push_back(first);
    for (const Tensor& f : frames) {
      EXPECT_FALSE(f.owns);
      EXPECT_EQ(f.shape, (std::vector<int64_t>{3, FH, FW}));
      values.push_back(f.f32()[3 * FH * FW - 1]);  // each frame holds its row's number throughout
    }
  });
  EXPECT_EQ(fx.script.in_place_calls, 2);
  EXPECT_EQ(firsts, (std::vector<int64_t>{0, 16}));
  // The partial batch's unused rows were zeroed, not left as they were.
  ASSERT_EQ(fx.script.calls.size(), 2u);
  EXPECT_EQ(fx.script.calls[1].rows, 8);
  EXPECT_EQ(fx.script.calls[1].nonzero_rows, 4);
  std::vector<float> want(20);
  for (int k = 0; k < 20; ++k) want[k] = static_cast<float>(k + 1);
  EXPECT_EQ(values, want);
}

TEST(Renderer, FramesFromTheDecodersOwnBufferEqualCopiedOnes) {
  std::vector<float> audio(2 * SPC);
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = 0.5f * std::sin(0.01f * static_cast<float>(i));
  std::vector<std::vector<uint8_t>> chunks[2];
  for (bool in_place : {false, true}) {
    Fixture fx;
    fx.script.in_place = in_place;
    fx.script.varied_steps = true;
    Renderer r(std::make_shared<const LitertChain>(fx.chain()), nullptr, RgbSettings{});
    r.feed(audio.data(), static_cast<int64_t>(audio.size()));
    for (const RenderedChunk& c : r.ready_chunks())
      chunks[in_place].emplace_back(c.pixels.get(), c.pixels.get() + c.n * FRAME_BYTES);
    EXPECT_EQ(fx.script.in_place_calls > 0, in_place);
  }
  ASSERT_EQ(chunks[0].size(), 2u);
  EXPECT_NE(chunks[0][1][0], chunks[0][1][(chunks[0][1].size() - 1)]);  // frames differ within a chunk
  EXPECT_EQ(chunks[0], chunks[1]);
}

TEST(Renderer, PixelGateRunsAfterTheFirstDecoderBatchAndCanFailTheChunk) {
  Fixture fx;
  fx.script.in_place = true;
  Renderer r(std::make_shared<const LitertChain>(fx.chain()), nullptr, RgbSettings{});
  std::vector<std::string> last_call;  // the runner call before each gate
  r.set_pixel_gate([&] { last_call.push_back(fx.script.calls.back().sig); });
  const std::vector<float> audio(SPC + 18400, 0.0f);
  r.feed(audio.data(), static_cast<int64_t>(audio.size()));
  EXPECT_EQ(r.ready_chunks().size(), 2u);
  EXPECT_EQ(last_call, (std::vector<std::string>{"dec16", "dec16"}));  // then dec8 / the second dec16

  bool fail = true;
  r.set_pixel_gate([&] {
    if (fail) throw halvane::OSError(EPIPE, "<stdout>");
  });
  r.feed(audio.data(), SPC);
  int sunk = 0;
  EXPECT_THROW(r.ready_chunks([&](RenderedChunk&&) { ++sunk; }), halvane::OSError);
  EXPECT_EQ(sunk, 0);
  EXPECT_EQ(r.ci(), 2);  // not counted: the next call renders chunk 2 again
  EXPECT_EQ(r.c_n(), 2);
  fail = false;
  r.set_pixel_gate(nullptr);
  const std::vector<RenderedChunk> again = r.ready_chunks();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].frames.front().index, 57);
}
