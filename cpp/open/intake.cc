#include "open/intake.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "common/channels.h"

namespace halvane::open {

namespace {

template <class F>
int16_t sample_of(F v) {
  v = v != v ? F(0) : v < F(-1) ? F(-1) : v > F(1) ? F(1) : v;
  return static_cast<int16_t>(v * F(32767));
}

template <class F>
void to_pcm16(const F* src, size_t n, void* dst) {
  auto* out = static_cast<unsigned char*>(dst);
  for (size_t i = 0; i < n; ++i) {
    const int16_t s = sample_of(src[i]);
    std::memcpy(out + 2 * i, &s, 2);
  }
}

// The mean of each frame's channels (common/channels.h), a block at a time,
// then converted as a mono float array is: clipped after mixing.
template <class F>
void mix_floats(const void* src, size_t frames, size_t channels, ptrdiff_t frame_stride, ptrdiff_t channel_stride,
                unsigned char* out) {
  constexpr size_t kBlock = 4096;
  F mean[kBlock];
  const auto* in = static_cast<const unsigned char*>(src);
  for (size_t f = 0; f < frames; f += kBlock) {
    const size_t n = std::min(kBlock, frames - f);
    mix_down<F>(in + static_cast<ptrdiff_t>(f) * frame_stride, n, channels, frame_stride, channel_stride, mean);
    to_pcm16(mean, n, out + 2 * f);
  }
}

bool is_scheme_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
         c == '.';
}

}  // namespace

void float_to_pcm16(const float* src, size_t n, void* dst) { to_pcm16(src, n, dst); }
void float_to_pcm16(const double* src, size_t n, void* dst) { to_pcm16(src, n, dst); }

void mix_to_pcm16(SampleType type, const void* src, size_t frames, size_t channels, ptrdiff_t frame_stride,
                  ptrdiff_t channel_stride, void* dst) {
  auto* out = static_cast<unsigned char*>(dst);
  switch (type) {
    case SampleType::int16: return mix_down<int16_t>(src, frames, channels, frame_stride, channel_stride, out);
    case SampleType::float32: return mix_floats<float>(src, frames, channels, frame_stride, channel_stride, out);
    case SampleType::float64: return mix_floats<double>(src, frames, channels, frame_stride, channel_stride, out);
  }
}

void pcm16_to_float(const void* src, size_t n, float* dst) {
  const auto* in = static_cast<const unsigned char*>(src);
  for (size_t i = 0; i < n; ++i) {
    int16_t s;
    std::memcpy(&s, in + 2 * i, 2);
    dst[i] = static_cast<float>(s) * (1.0f / 32768.0f);
  }
}

void reverse_channels(const uint8_t* src, ptrdiff_t row_stride, ptrdiff_t col_stride, ptrdiff_t chan_stride,
                      size_t height, size_t width, size_t channels, uint8_t* dst) {
  if (channels == 3 && chan_stride == 1 && col_stride == 3) {
    for (size_t y = 0; y < height; ++y) {
      const uint8_t* s = src + static_cast<ptrdiff_t>(y) * row_stride;
      for (size_t x = 0; x < width; ++x, s += 3, dst += 3) {
        dst[0] = s[2];
        dst[1] = s[1];
        dst[2] = s[0];
      }
    }
    return;
  }
  for (size_t y = 0; y < height; ++y)
    for (size_t x = 0; x < width; ++x) {
      const uint8_t* s = src + static_cast<ptrdiff_t>(y) * row_stride + static_cast<ptrdiff_t>(x) * col_stride;
      for (size_t c = 0; c < channels; ++c)
        *dst++ = s[static_cast<ptrdiff_t>(channels - 1 - c) * chan_stride];
    }
}

std::string ffmpeg_input_name(const std::string& path) {
  size_t scheme = 0;
  while (scheme < path.size() && is_scheme_char(path[scheme])) ++scheme;
  const std::string_view p(path);
  const bool url = p == "-" || (scheme < p.size() && p[scheme] == ':') ||
                   (p.starts_with("subfile,") && p.find(':', scheme + 1) != std::string_view::npos);
  return url ? "./" + path : path;
}

std::vector<std::string> ffmpeg_decode_argv(const std::string& path) {
  return {"ffmpeg", "-nostdin", "-loglevel", "error", "-i", ffmpeg_input_name(path), "-ar",
          std::to_string(kSampleRate), "-ac", "1", "-f", "s16le", "-"};
}

}  // namespace halvane::open
