// The IMX container's member table: "IMX\0", two bytes nobody reads, a 16-bit
// entry count, then per entry a 16-bit name length, the UTF-8 name and two
// 64-bit fields, offset and size (all little-endian, no padding). Members may
// lie anywhere in the file, in any order, and may overlap.
//
// The table is read incrementally: a length read from the file never decides
// an allocation before the bytes are really there.
//
// Thread contract: pure functions over their inputs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvane {

class File;

struct ImxEntry {
  std::string nm;  // stored name, UTF-8, may hold "/" parts
  uint64_t off = 0;
  uint64_t size = 0;
};

// The table, or nullopt when the bytes are not an IMX container (fewer than 8
// bytes, or another magic). Raises ValueError for a table that ends early or a
// name that is not UTF-8; `where` prefixes those messages.
std::optional<std::vector<ImxEntry>> imx_toc(const File& f, const std::string& where);
std::optional<std::vector<ImxEntry>> imx_toc_from(std::string_view file);

struct ByteRange {
  uint64_t begin = 0;  // begin <= end <= file size
  uint64_t end = 0;
};

// [off, off + size) clipped to [0, file_size): the bytes that are actually
// there, possibly none. Raises ValueError when `off` or `size` is 2^63 or
// more (no file position can reach it).
ByteRange imx_member_range(const ImxEntry& e, uint64_t file_size);

// The first entry, in table order, whose declared bytes reach past the end
// of a file of `file_size` bytes (a container cut short), or nullopt. An
// `off` or `size` of 2^63 or more counts as reaching past it.
std::optional<size_t> imx_first_cut(const std::vector<ImxEntry>& toc, uint64_t file_size);

// Two of `ranges` that share at least one byte, as their indices in
// ascending order, or nullopt when no two do. Empty ranges share nothing.
std::optional<std::pair<size_t, size_t>> first_overlap(const std::vector<ByteRange>& ranges);

}  // namespace halvane
