// Sample conversions at their edges, the channel reversal over any strides,
// and the names ffmpeg is given for files that look like its URLs.
#include "open/intake.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using halvane::open::ffmpeg_decode_argv;
using halvane::open::ffmpeg_input_name;

template <class F>
std::vector<int16_t> to_pcm(const std::vector<F>& in) {
  std::vector<int16_t> out(in.size());
  halvane::open::float_to_pcm16(in.data(), in.size(), out.data());
  return out;
}

TEST(FloatToPcm16, ClipScaleTruncate) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> f = {1.0f, -1.0f, 2.5f, 0.99999f, -0.5f, -0.99999f, 1e-9f, -1e-9f, inf, -inf, nan, 0.5f};
  const std::vector<int16_t> want = {32767, -32767, 32767, 32766, -16383, -32766, 0, 0, 32767, -32767, 0, 16383};
  EXPECT_EQ(to_pcm(f), want);
  const std::vector<double> d(f.begin(), f.end());
  EXPECT_EQ(to_pcm(d), want);
  // The product is rounded in the source's own type: 0.5000152587890625 (a
  // float32 value) times 32767 is 16384 in float32, 16383.99998... in float64.
  EXPECT_EQ(to_pcm(std::vector<float>{0.5000152587890625f})[0], 16384);
  EXPECT_EQ(to_pcm(std::vector<double>{0.5000152587890625})[0], 16383);
}

TEST(FloatToPcm16, WritesUnalignedDestination) {
  std::vector<unsigned char> buf(9, 0xAA);
  const float in[4] = {1.0f, -1.0f, 0.0f, -0.5f};
  halvane::open::float_to_pcm16(in, 4, buf.data() + 1);
  int16_t got[4];
  std::memcpy(got, buf.data() + 1, 8);
  EXPECT_EQ(got[0], 32767);
  EXPECT_EQ(got[1], -32767);
  EXPECT_EQ(got[2], 0);
  EXPECT_EQ(got[3], -16383);
  EXPECT_EQ(buf[0], 0xAA);
}

TEST(Pcm16ToFloat, DividesBy32768FromAnyAlignment) {
  const int16_t samples[5] = {-32768, 32767, 0, 1, -16384};
  std::vector<unsigned char> buf(11);
  std::memcpy(buf.data() + 1, samples, sizeof samples);
  float out[5];
  halvane::open::pcm16_to_float(buf.data() + 1, 5, out);
  EXPECT_EQ(out[0], -1.0f);
  EXPECT_EQ(out[1], 32767.0f / 32768.0f);
  EXPECT_EQ(out[2], 0.0f);
  EXPECT_EQ(out[3], 1.0f / 32768.0f);
  EXPECT_EQ(out[4], -0.5f);
}

TEST(ReverseChannels, ContiguousAndStrided) {
  // 2 x 2 pictures of 3 channels, pixel (y, x) channel c = 100y + 10x + c.
  std::vector<uint8_t> src(12);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2; ++x)
      for (int c = 0; c < 3; ++c) src[y * 6 + x * 3 + c] = static_cast<uint8_t>(100 * y + 10 * x + c);
  std::vector<uint8_t> out(12);
  halvane::open::reverse_channels(src.data(), 6, 3, 1, 2, 2, 3, out.data());
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2; ++x)
      for (int c = 0; c < 3; ++c) EXPECT_EQ(out[y * 6 + x * 3 + c], 100 * y + 10 * x + (2 - c));
  // The same picture read upside down through a negative row stride, and one
  // of 4 channels read from planes.
  halvane::open::reverse_channels(src.data() + 6, -6, 3, 1, 2, 2, 3, out.data());
  for (int x = 0; x < 2; ++x) EXPECT_EQ(out[x * 3], 100 + 10 * x + 2);
  std::vector<uint8_t> planes(16);
  for (int c = 0; c < 4; ++c)
    for (int i = 0; i < 4; ++i) planes[c * 4 + i] = static_cast<uint8_t>(10 * c + i);
  std::vector<uint8_t> o4(16);
  halvane::open::reverse_channels(planes.data(), 2, 1, 4, 2, 2, 4, o4.data());
  for (int i = 0; i < 4; ++i)
    for (int c = 0; c < 4; ++c) EXPECT_EQ(o4[i * 4 + c], 10 * (3 - c) + i);
}

TEST(FfmpegInputName, UrlLookalikesBecomeFiles) {
  struct Case {
    const char* path;
    const char* given;
  };
  const Case cases[] = {
      {"-", "./-"},
      {"pipe:0", "./pipe:0"},
      {"x:y", "./x:y"},
      {"file:a.wav", "./file:a.wav"},
      {"http://host/a.wav", "./http://host/a.wav"},
      {"C:/a.wav", "./C:/a.wav"},
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
      {"-.wav", "-.wav"},
      {"subfile,a.wav", "subfile,a.wav"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ffmpeg_input_name(c.path), c.given) << c.path;
}

TEST(FfmpegInputName, DecodeCommand) {
  const std::vector<std::string> want = {"ffmpeg", "-nostdin", "-loglevel", "error", "-i", "./pipe:0", "-ar",
                                         "16000",  "-ac",      "1",         "-f",    "s16le", "-"};
  EXPECT_EQ(ffmpeg_decode_argv("pipe:0"), want);
  EXPECT_EQ(ffmpeg_decode_argv("/a/b.wav")[5], "/a/b.wav");
}

}  // namespace
