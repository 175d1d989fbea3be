// Sample conversion at its edges and the names ffmpeg is given for files
// that look like its URLs.
#include "open/intake.h"

#include <gtest/gtest.h>

#include <limits>
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
