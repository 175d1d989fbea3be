// Audio that comes as an array of more than one dimension, taken the same way
// by every interface that accepts arrays: which axis holds the channels, and
// the channels mixed down to one by their mean. A 2-D array of stereo pushed
// live and the same array rendered offline so give the same mono samples.
//
// Thread contract: pure functions over the caller's memory; any thread, with
// no interpreter lock needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace halvane {

// The most channels an audio array may hold on one axis of its two.
inline constexpr ptrdiff_t kMaxChannels = 8;

// The message of the TypeError that refuses an array's shape; + the shape.
inline constexpr const char* kChannelShapeMessage =
    "audio arrays must be 1-D, or 2-D with at most 8 channels on one axis and more than 8 samples on the other; "
    "got shape ";

enum class ChannelAxis {
  none,     // one channel as the samples lie: 0-D or 1-D, an axis of 1, or no samples at all
  rows,     // axis 0 holds the channels, axis 1 the frames
  columns,  // axis 1 holds the channels, axis 0 the frames
  unclear,  // refused: the shape does not tell (both axes short or both long), or more than 2 dimensions
};

// A 2-D shape's channel axis is the one of at most kMaxChannels entries when
// the other is longer.
ChannelAxis channel_axis(std::span<const ptrdiff_t> shape);

// `frames` frames of `channels` samples of T (int16_t, float or double), sample
// (f, c) at byte offset f * frame_stride + c * channel_stride from `src`
// (strides may be negative and need no alignment, so interleaved and planar
// layouts are read in place), mixed down to one: each frame's samples summed
// in channel order and divided by the channel count, int16 in 32-bit integers
// with the quotient truncated toward zero, floats in their own type. `dst`
// receives `frames` values of T, no alignment needed (zeros when there are no
// channels).
template <class T>
void mix_down(const void* src, size_t frames, size_t channels, ptrdiff_t frame_stride, ptrdiff_t channel_stride,
              void* dst);

extern template void mix_down<int16_t>(const void*, size_t, size_t, ptrdiff_t, ptrdiff_t, void*);
extern template void mix_down<float>(const void*, size_t, size_t, ptrdiff_t, ptrdiff_t, void*);
extern template void mix_down<double>(const void*, size_t, size_t, ptrdiff_t, ptrdiff_t, void*);

}  // namespace halvane
