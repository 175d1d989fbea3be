// Sample conversion at its edges and the names ffmpeg is given for files
// that look like its URLs.
#include "open/intake.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

namespace {

template <class F>
std::vector<int16_t> to_pcm(const std::vector<F>& in) {
  std::vector<int16_t> out(in.size());
  halvane::open::float_to_pcm16(in.data(), in.size(), out.data());
  return out;
}

TEST(FloatToPcm16, ClipScaleTruncate) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> f = {1.0f, -1.0f, 2.5f, 0.99999f, -0.5f, -0.99999f, 1e-9f, inf, -inf, nan};
  const std::vector<int16_t> want = {32767, -32767, 32767, 32766, -16383, -32766, 0, 32767, -32767, 0};
  EXPECT_EQ(to_pcm(f), want);
  EXPECT_EQ(to_pcm(std::vector<double>(f.begin(), f.end())), want);
  // The product is rounded in the source's own type: 0.5000152587890625 (a
  // float32 value) times 32767 is 16384 in float32, 16383.99998... in float64.
  EXPECT_EQ(to_pcm(std::vector<float>{0.5000152587890625f})[0], 16384);
  EXPECT_EQ(to_pcm(std::vector<double>{0.5000152587890625})[0], 16383);
}

// Frames of channel samples, read in place from every layout an array may
// have: interleaved, planar, reversed and one byte off alignment.
template <class T>
std::vector<int16_t> mixed(const std::vector<std::vector<T>>& frames, int layout) {
  using halvane::open::SampleType;
  const SampleType type = std::is_same_v<T, int16_t> ? SampleType::int16
                          : std::is_same_v<T, float> ? SampleType::float32
                                                     : SampleType::float64;
  const size_t n = frames.size(), k = frames[0].size(), w = sizeof(T);
  std::vector<unsigned char> buf(n * k * w + 1);
  unsigned char* base = buf.data() + (layout == 3 ? 1 : 0);
  // Byte offsets of sample (f, c) for each layout.
  auto offset = [&](size_t f, size_t c) -> size_t {
    switch (layout) {
      case 1: return (c * n + f) * w;  // planar: one channel after the other
      case 2: return ((n - 1 - f) * k + (k - 1 - c)) * w;  // both axes reversed
      default: return (f * k + c) * w;  // interleaved
    }
  };
  for (size_t f = 0; f < n; ++f)
    for (size_t c = 0; c < k; ++c) std::memcpy(base + offset(f, c), &frames[f][c], w);
  const unsigned char* first = base + offset(0, 0);
  const ptrdiff_t fs = static_cast<ptrdiff_t>(n > 1 ? offset(1, 0) : 0) - static_cast<ptrdiff_t>(offset(0, 0));
  const ptrdiff_t cs = static_cast<ptrdiff_t>(k > 1 ? offset(0, 1) : 0) - static_cast<ptrdiff_t>(offset(0, 0));
  std::vector<int16_t> out(n);
  halvane::open::mix_to_pcm16(type, first, n, k, fs, cs, out.data());
  return out;
}

TEST(MixToPcm16, Int16MeanTruncatesTowardZero) {
  struct Row {
    std::vector<std::vector<int16_t>> frames;
    std::vector<int16_t> want;
  };
  const Row rows[] = {
      {{{1, -2}, {-1, 2}, {3, 4}, {-3, -4}, {7, 7}, {0, 1}, {0, -1}}, {0, 0, 3, -3, 7, 0, 0}},
      {{{32767, 32767}, {-32768, -32768}, {32767, -32768}, {-32768, 32767}}, {32767, -32768, 0, 0}},
      {{{32767, 32767, 32766}, {-32768, -32768, -32767}, {1, 1, 0}, {-1, -1, 0}}, {32766, -32767, 0, 0}},
      {{{-32768, -32768, -32768, -32768, -32768, -32768, -32768, -32768},
        {32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767},
        {1, 2, 3, 4, 5, 6, 7, 8},
        {-1, -2, -3, -4, -5, -6, -7, -8}},
       {-32768, 32767, 4, -4}},
      {{{5}, {-6}}, {5, -6}},
  };
  for (const Row& r : rows)
    for (int layout = 0; layout < 4; ++layout) EXPECT_EQ(mixed(r.frames, layout), r.want) << "layout " << layout;
}

TEST(MixToPcm16, FloatsMixThenClipScaleTruncate) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // 0.125 * 32767 = 4095.875; the mean of 2 and 0 is 1 (clipped after
  // mixing); a NaN in one channel silences the frame, as inf - inf does.
  const std::vector<std::vector<float>> frames = {{0.5f, -0.25f}, {2.0f, 0.0f}, {-3.0f, 0.5f}, {nan, 1.0f},
                                                  {inf, -inf},    {inf, 0.0f},  {-0.5f, -0.5f}, {1.0f, 0.99999f}};
  const std::vector<int16_t> want = {4095, 32767, -32767, 0, 0, 32767, -16383, 32766};
  for (int layout = 0; layout < 4; ++layout) {
    EXPECT_EQ(mixed(frames, layout), want) << "layout " << layout;
    std::vector<std::vector<double>> wide;
    for (const auto& f : frames) wide.emplace_back(f.begin(), f.end());
    EXPECT_EQ(mixed(wide, layout), want) << "layout " << layout;
  }
  // The mean is taken in the source's own type: (0.5000152587890625 + 0.5000152587890625) / 2 is that
  // value, whose product with 32767 rounds up in float32 only.
  EXPECT_EQ(mixed(std::vector<std::vector<float>>{{0.5000152587890625f, 0.5000152587890625f}}, 0)[0], 16384);
  EXPECT_EQ(mixed(std::vector<std::vector<double>>{{0.5000152587890625, 0.5000152587890625}}, 0)[0], 16383);
  int16_t untouched = 99;
  halvane::open::mix_to_pcm16(halvane::open::SampleType::int16, nullptr, 0, 2, 4, 2, &untouched);
  EXPECT_EQ(untouched, 99);
}

TEST(FfmpegInputName, UrlLookalikesBecomeFiles) {
  const char* cases[][2] = {
      {"-", "./-"},
      {"pipe:0", "./pipe:0"},
      {"x:y", "./x:y"},
      {"file:a.wav", "./file:a.wav"},
      {"http://host/a.wav", "./http://host/a.wav"},
      {":a", "./:a"},
      {"a+b-c.d:e", "./a+b-c.d:e"},
      {"subfile,,start,0,end,9,,:a.wav", "./subfile,,start,0,end,9,,:a.wav"},
      // Names ffmpeg already reads as files reach it unchanged.
      {"a.wav", "a.wav"},
      {"/tmp/pipe:0", "/tmp/pipe:0"},
      {"./x:y", "./x:y"},
      {"dir/x:y", "dir/x:y"},
      {"a b:c", "a b:c"},
      {"--", "--"},
      {"subfile,a.wav", "subfile,a.wav"},
  };
  for (const auto& c : cases) EXPECT_EQ(halvane::open::ffmpeg_input_name(c[0]), c[1]) << c[0];
}

}  // namespace
