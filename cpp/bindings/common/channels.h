// An audio array's channels as both interfaces read them (common/channels.h):
// where its frames and channels lie, or nothing for one channel; the shape's
// TypeError for a shape that does not tell.
#pragma once

#include <optional>

#include "bindings/common/protocol.h"
#include "common/channels.h"

namespace halvane::py {

struct ChannelLayout {
  size_t frames, channels;
  Py_ssize_t frame_stride, channel_stride;
};

// `shape` is the array's shape object, quoted by the error.
inline std::optional<ChannelLayout> channel_layout(const StridedView& v, nb::handle shape) {
  const ChannelAxis how = channel_axis(v.shape());
  if (how == ChannelAxis::unclear) raise_error(PyExc_TypeError, concat(kChannelShapeMessage, shape));
  if (how == ChannelAxis::none) return std::nullopt;
  const int axis = how == ChannelAxis::rows ? 0 : 1;
  return ChannelLayout{static_cast<size_t>(v.shape(1 - axis)), static_cast<size_t>(v.shape(axis)), v.stride(1 - axis),
                       v.stride(axis)};
}

}  // namespace halvane::py
