// The byte range an IMX table entry names inside a container of a known size.
// Shared by the file reader and the in-memory checks (tests, fuzzing) so both
// clamp the same way.
//
// Thread contract: pure function.
#pragma once

#include <cstdint>

#include "zephan2/host/containers.h"

namespace z2 {

struct ByteRange {
  uint64_t begin = 0;  // begin <= end <= file size
  uint64_t end = 0;
};

// [off, off + size) clipped to [0, file_size): the bytes that are actually
// there, possibly none. Raises halvane::ValueError when `off` or `size` is
// 2^63 or more (no file position can reach it).
ByteRange imx_member_range(const ImxEntry& e, uint64_t file_size);

}  // namespace z2
