#include "common/channels.h"

#include <cstring>
#include <type_traits>

namespace halvane {

ChannelAxis channel_axis(std::span<const ptrdiff_t> shape) {
  if (shape.size() < 2) return ChannelAxis::none;
  if (shape.size() > 2) return ChannelAxis::unclear;
  const ptrdiff_t rows = shape[0], cols = shape[1];
  if (rows <= 1 || cols <= 1) return ChannelAxis::none;
  if (rows <= kMaxChannels && cols > kMaxChannels) return ChannelAxis::rows;
  if (cols <= kMaxChannels && rows > kMaxChannels) return ChannelAxis::columns;
  return ChannelAxis::unclear;
}

template <class T>
void mix_down(const void* src, size_t frames, size_t channels, ptrdiff_t frame_stride, ptrdiff_t channel_stride,
              void* dst) {
  auto* out = static_cast<unsigned char*>(dst);
  if (channels == 0) {
    std::memset(out, 0, sizeof(T) * frames);
    return;
  }
  const auto* in = static_cast<const unsigned char*>(src);
  using Sum = std::conditional_t<std::is_integral_v<T>, int32_t, T>;
  const Sum count = static_cast<Sum>(channels);
  for (size_t f = 0; f < frames; ++f, out += sizeof(T)) {
    const unsigned char* at = in + static_cast<ptrdiff_t>(f) * frame_stride;
    Sum sum = 0;
    for (size_t c = 0; c < channels; ++c) {
      T v;
      std::memcpy(&v, at + static_cast<ptrdiff_t>(c) * channel_stride, sizeof v);
      sum += v;
    }
    const T mean = static_cast<T>(sum / count);
    std::memcpy(out, &mean, sizeof mean);
  }
}

template void mix_down<int16_t>(const void*, size_t, size_t, ptrdiff_t, ptrdiff_t, void*);
template void mix_down<float>(const void*, size_t, size_t, ptrdiff_t, ptrdiff_t, void*);
template void mix_down<double>(const void*, size_t, size_t, ptrdiff_t, ptrdiff_t, void*);

}  // namespace halvane
